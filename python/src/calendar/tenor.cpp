// Tenor: a count of days, weeks, months or years.
#include "datetime_conv.hpp"
#include "types.hpp"

namespace zub::py {
namespace {

using zub::Tenor;
using zub::TenorUnit;

PyObject* make_tenor(TenorUnit unit, const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Params<1> p;
        if (!bind(sig, args, nargs, kw, p.v)) return nullptr;
        int32_t n;
        if (!to_i32(p[0], "n", n)) return nullptr;
        PyTypeObject* t = type_Tenor();
        return t ? new_box<Tenor>(t, Tenor{unit, n}) : nullptr;
    });
}

const char* const n_name[] = {"n"};

constexpr const char* kQualnames[] = {"Tenor.days", "Tenor.weeks", "Tenor.months", "Tenor.years"};

// Tenor.days / weeks / months / years(n)
template <TenorUnit U>
PyObject* of_unit(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    static const Signature sig{kQualnames[static_cast<int>(U)], n_name, 1, 1};
    return make_tenor(U, sig, a, n, kw);
}

PyObject* advance(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"from"};
        static const Signature sig{"Tenor.advance", names, 1, 1};
        Params<1> p;
        if (!bind(sig, args, nargs, kw, p.v)) return nullptr;
        zub::Date d;
        if (!to_date(p[0], "from", d)) return nullptr;
        return new_date(zub::advance(value_of<Tenor>(self), d));
    });
}

}  // namespace

PyTypeObject* type_Tenor() {
    static PyTypeObject* type = nullptr;
    return once_type(type, [] {
        static PyMethodDef methods[] = {
            {"days", fastcall(of_unit<TenorUnit::Days>), kFastKw | METH_STATIC, "days(n)\n--\n\n"},
            {"weeks", fastcall(of_unit<TenorUnit::Weeks>), kFastKw | METH_STATIC, "weeks(n)\n--\n\n"},
            {"months", fastcall(of_unit<TenorUnit::Months>), kFastKw | METH_STATIC, "months(n)\n--\n\n"},
            {"years", fastcall(of_unit<TenorUnit::Years>), kFastKw | METH_STATIC, "years(n)\n--\n\n"},
            {"advance", fastcall(advance), kFastKw, "advance($self, from)\n--\n\n"},
            {nullptr, nullptr, 0, nullptr},
        };
        static PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
            {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Tenor>)},
            {Py_tp_methods, methods},
            {0, nullptr},
        };
        static PyType_Spec spec = {"builtins.Tenor", sizeof(Box<Tenor>), 0, Py_TPFLAGS_DEFAULT, slots};
        return make_type(&spec);
    });
}

}  // namespace zub::py
