// Frequency, Compounding and InterestRate.
#include "types.hpp"

namespace zub::py {
namespace {

using zub::Compounding;
using zub::CompoundingKind;
using zub::Frequency;
using zub::InterestRate;

constexpr const char* kFrequencyNames[] = {"Annual", "SemiAnnual", "Quarterly", "Monthly"};

PyObject* frequency_repr(PyObject* self) {
    return PyUnicode_FromString(kFrequencyNames[static_cast<int>(value_of<Frequency>(self))]);
}

PyObject* frequency_int(PyObject* self) { return PyLong_FromLong(static_cast<long>(value_of<Frequency>(self))); }

PyObject* frequency_value(PyObject* self, void*) {
    return PyLong_FromLong(zub::periods_per_year(value_of<Frequency>(self)));
}

PyObject* compounding_repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] { return new_str(value_of<Compounding>(self).repr()); });
}

PyObject* new_compounding(CompoundingKind kind, uint8_t periods) {
    PyTypeObject* t = type_Compounding();
    return t ? new_box<Compounding>(t, Compounding{kind, periods}) : nullptr;
}

PyObject* simple(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Signature sig{"Compounding.simple", nullptr, 0, 0};
        if (!bind(sig, args, nargs, kw, nullptr)) return nullptr;
        return new_compounding(CompoundingKind::Simple, 1);
    });
}

PyObject* continuous(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Signature sig{"Compounding.continuous", nullptr, 0, 0};
        if (!bind(sig, args, nargs, kw, nullptr)) return nullptr;
        return new_compounding(CompoundingKind::Continuous, 1);
    });
}

PyObject* with_frequency(CompoundingKind kind, const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kw) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Params<1> p;
        if (!bind(sig, args, nargs, kw, p.v)) return nullptr;
        auto* f = cast_arg<Frequency>(p[0], type_Frequency(), "freq", "Frequency");
        if (f == nullptr) return nullptr;
        return new_compounding(kind, zub::periods_per_year(*f));
    });
}

const char* const freq_name[] = {"freq"};

PyObject* compounded(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    static const Signature sig{"Compounding.compounded", freq_name, 1, 1};
    return with_frequency(CompoundingKind::Compounded, sig, a, n, kw);
}

PyObject* simple_then_compounded(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    static const Signature sig{"Compounding.simple_then_compounded", freq_name, 1, 1};
    return with_frequency(CompoundingKind::SimpleThenCompounded, sig, a, n, kw);
}

PyObject* rate_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"rate", "compounding", "dcc"};
        static const Signature sig{"InterestRate.__new__", names, 3, 3};
        Params<3> p;
        if (!bind(sig, args, kwargs, p.v)) return nullptr;
        double r;
        if (!to_double(p[0], "rate", r)) return nullptr;
        auto* c = cast_arg<Compounding>(p[1], type_Compounding(), "compounding", "Compounding");
        if (c == nullptr) return nullptr;
        auto* d = cast_arg<zub::DayCountConvention>(p[2], type_DayCountConvention(), "dcc", "DayCountConvention");
        if (d == nullptr) return nullptr;
        return new_box<InterestRate>(type, InterestRate{r, *c, *d});
    });
}

PyObject* rate_discount_factor(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"t"};
        static const Signature sig{"InterestRate.discount_factor", names, 1, 1};
        Params<1> p;
        if (!bind(sig, args, nargs, kw, p.v)) return nullptr;
        double t;
        if (!to_double(p[0], "t", t)) return nullptr;
        return new_float(value_of<InterestRate>(self).discount_factor(t));
    });
}

}  // namespace

PyTypeObject* type_Frequency() {
    static PyTypeObject* type = nullptr;
    return once_type(type, []() -> PyTypeObject* {
        static PyGetSetDef getset[] = {
            {"value", frequency_value, nullptr, nullptr, nullptr},
            {nullptr, nullptr, nullptr, nullptr, nullptr},
        };
        static PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
            {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Frequency>)},
            {Py_tp_repr, reinterpret_cast<void*>(frequency_repr)},
            {Py_nb_int, reinterpret_cast<void*>(frequency_int)},
            {Py_tp_getset, getset},
            {0, nullptr},
        };
        static PyType_Spec spec = {"builtins.Frequency", sizeof(Box<Frequency>), 0, Py_TPFLAGS_DEFAULT, slots};
        PyTypeObject* t = make_type(&spec);
        if (t == nullptr) return nullptr;
        for (int i = 0; i < 4; ++i) {
            if (!add_class_attr(t, kFrequencyNames[i], new_box<Frequency>(t, static_cast<Frequency>(i)))) {
                Py_DECREF(t);
                return nullptr;
            }
        }
        return t;
    });
}

PyTypeObject* type_Compounding() {
    static PyTypeObject* type = nullptr;
    return once_type(type, [] {
        static PyMethodDef methods[] = {
            {"simple", fastcall(simple), kFastKw | METH_STATIC, "simple()\n--\n\n"},
            {"continuous", fastcall(continuous), kFastKw | METH_STATIC, "continuous()\n--\n\n"},
            {"compounded", fastcall(compounded), kFastKw | METH_STATIC, "compounded(freq)\n--\n\n"},
            {"simple_then_compounded", fastcall(simple_then_compounded), kFastKw | METH_STATIC,
             "simple_then_compounded(freq)\n--\n\n"},
            {nullptr, nullptr, 0, nullptr},
        };
        static PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
            {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Compounding>)},
            {Py_tp_repr, reinterpret_cast<void*>(compounding_repr)},
            {Py_tp_methods, methods},
            {0, nullptr},
        };
        static PyType_Spec spec = {"builtins.Compounding", sizeof(Box<Compounding>), 0, Py_TPFLAGS_DEFAULT, slots};
        return make_type(&spec);
    });
}

PyTypeObject* type_InterestRate() {
    static PyTypeObject* type = nullptr;
    return once_type(type, [] {
        static PyMethodDef methods[] = {
            {"discount_factor", fastcall(rate_discount_factor), kFastKw, "discount_factor($self, t)\n--\n\n"},
            {nullptr, nullptr, 0, nullptr},
        };
        static PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(rate_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<InterestRate>)},
            {Py_tp_methods, methods},
            {Py_tp_doc, const_cast<char*>("InterestRate(rate, compounding, dcc)\n--\n\n")},
            {0, nullptr},
        };
        static PyType_Spec spec = {"builtins.InterestRate", sizeof(Box<InterestRate>), 0, Py_TPFLAGS_DEFAULT,
                                   slots};
        return make_type(&spec);
    });
}

}  // namespace zub::py
