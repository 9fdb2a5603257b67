// DayCountConvention with its holders ActAct and Thirty360, and
// PeriodCalculator.
#include "datetime_conv.hpp"
#include "types.hpp"

namespace zub::py {
namespace {

using zub::DayCountConvention;

PyObject* dcc_repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
        return new_str("<DayCountConvention: " + value_of<DayCountConvention>(self).debug_text() + ">");
    });
}

PyObject* new_dcc(const DayCountConvention& c) {
    PyTypeObject* t = type_DayCountConvention();
    return t ? new_box<DayCountConvention>(t, c) : nullptr;
}

// Holder classes: no constructor, only class attributes.
PyObject* make_holder(const char* qualified, std::initializer_list<std::pair<const char*, DayCountConvention>> members) {
    static PyType_Slot slots[] = {{Py_tp_new, reinterpret_cast<void*>(no_constructor)}, {0, nullptr}};
    PyType_Spec spec = {qualified, 0, 0, Py_TPFLAGS_DEFAULT, slots};
    PyTypeObject* t = make_type(&spec);
    if (t == nullptr) return nullptr;
    for (const auto& [name, conv] : members) {
        if (!add_class_attr(t, name, new_dcc(conv))) {
            Py_DECREF(t);
            return nullptr;
        }
    }
    return reinterpret_cast<PyObject*>(t);
}

// PeriodCalculator.days_between(start, end, convention)
PyObject* days_between(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"start", "end", "convention"};
        static const Signature sig{"PeriodCalculator.days_between", names, 3, 3};
        Params<3> p;
        if (!bind(sig, args, nargs, kw, p.v)) return nullptr;
        zub::Date a, b;
        if (!to_date(p[0], "start", a) || !to_date(p[1], "end", b)) return nullptr;
        auto* c = cast_arg<DayCountConvention>(p[2], type_DayCountConvention(), "convention", "DayCountConvention");
        if (c == nullptr) return nullptr;
        return PyLong_FromLongLong(zub::day_count(a, b, *c));
    });
}

// PeriodCalculator.year_fraction(start, end, convention)
PyObject* year_fraction(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"start", "end", "convention"};
        static const Signature sig{"PeriodCalculator.year_fraction", names, 3, 3};
        Params<3> p;
        if (!bind(sig, args, nargs, kw, p.v)) return nullptr;
        zub::Instant a, b;
        if (!strict_utc_instant(p[0], "start", a) || !strict_utc_instant(p[1], "end", b)) return nullptr;
        auto* c = cast_arg<DayCountConvention>(p[2], type_DayCountConvention(), "convention", "DayCountConvention");
        if (c == nullptr) return nullptr;
        return new_float(zub::year_fraction(a, b, *c));
    });
}

}  // namespace

PyTypeObject* type_DayCountConvention() {
    static PyTypeObject* type = nullptr;
    return once_type(type, []() -> PyTypeObject* {
        static PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
            {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<DayCountConvention>)},
            {Py_tp_repr, reinterpret_cast<void*>(dcc_repr)},
            {0, nullptr},
        };
        static PyType_Spec spec = {"builtins.DayCountConvention", sizeof(Box<DayCountConvention>), 0,
                                   Py_TPFLAGS_DEFAULT, slots};
        PyTypeObject* t = make_type(&spec);
        if (t == nullptr) return nullptr;
        // The members need the type itself, so it is published before they
        // are created and withdrawn if any of them fails.
        type = t;
        auto fail = [&]() -> PyTypeObject* {
            type = nullptr;
            Py_DECREF(t);
            return nullptr;
        };
        if (!add_class_attr(t, "ACT_360", new_dcc(DayCountConvention::act360())) ||
            !add_class_attr(t, "ACT_365_FIXED", new_dcc(DayCountConvention::act365_fixed()))) {
            return fail();
        }
        PyTypeObject* act = type_ActAct();
        PyTypeObject* thirty = act ? type_Thirty360() : nullptr;
        if (thirty == nullptr || !add_class_attr(t, "ACT_ACT", new_ref(reinterpret_cast<PyObject*>(act))) ||
            !add_class_attr(t, "THIRTY_360", new_ref(reinterpret_cast<PyObject*>(thirty)))) {
            return fail();
        }
        return t;
    });
}

PyTypeObject* type_ActAct() {
    static PyTypeObject* type = nullptr;
    return once_type(type, [] {
        return reinterpret_cast<PyTypeObject*>(
            make_holder("builtins.ActAct", {{"ISDA", DayCountConvention::act_act_isda()}}));
    });
}

PyTypeObject* type_Thirty360() {
    static PyTypeObject* type = nullptr;
    return once_type(type, [] {
        return reinterpret_cast<PyTypeObject*>(make_holder(
            "builtins.Thirty360", {{"US_ISDA", DayCountConvention::thirty360(zub::Thirty360Kind::UsIsda)},
                                   {"EUROBOND_ISMA", DayCountConvention::thirty360(zub::Thirty360Kind::EurobondIsma)},
                                   {"GERMAN_ISDA", DayCountConvention::thirty360(zub::Thirty360Kind::GermanIsda)}}));
    });
}

PyTypeObject* type_PeriodCalculator() {
    static PyTypeObject* type = nullptr;
    return once_type(type, [] {
        static PyMethodDef methods[] = {
            {"days_between", fastcall(days_between), kFastKw | METH_STATIC,
             "days_between(start, end, convention)\n--\n\n"},
            {"year_fraction", fastcall(year_fraction), kFastKw | METH_STATIC,
             "year_fraction(start, end, convention)\n--\n\n"},
            {nullptr, nullptr, 0, nullptr},
        };
        static PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
            {Py_tp_methods, methods},
            {0, nullptr},
        };
        static PyType_Spec spec = {"builtins.PeriodCalculator", 0, 0, Py_TPFLAGS_DEFAULT, slots};
        return make_type(&spec);
    });
}

}  // namespace zub::py
