// OptionType, ExerciseStyle and VanillaOption.
#include "datetime_conv.hpp"
#include "types.hpp"

namespace zub::py {
namespace {

using zub::ExerciseStyle;
using zub::OptionType;
using zub::VanillaOption;

PyObject* option_type_repr(PyObject* self) {
    return PyUnicode_FromString(value_of<OptionType>(self) == OptionType::Call ? "OptionType.Call" : "OptionType.Put");
}
PyObject* option_type_int(PyObject* self) { return PyLong_FromLong(static_cast<long>(value_of<OptionType>(self))); }

PyObject* exercise_style_repr(PyObject* self) {
    return PyUnicode_FromString(value_of<ExerciseStyle>(self) == ExerciseStyle::American ? "ExerciseStyle.American"
                                                                                          : "ExerciseStyle.European");
}
PyObject* exercise_style_int(PyObject* self) {
    return PyLong_FromLong(static_cast<long>(value_of<ExerciseStyle>(self)));
}

// An enumeration class whose members are created once with the class.
template <class E>
PyTypeObject* make_enum(PyType_Spec* spec, std::initializer_list<std::pair<const char*, E>> members) {
    PyTypeObject* t = make_type(spec);
    if (t == nullptr) return nullptr;
    for (const auto& [name, v] : members) {
        if (!add_class_attr(t, name, new_box<E>(t, v))) {
            Py_DECREF(t);
            return nullptr;
        }
    }
    return t;
}

PyObject* option_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"strike", "expiry_time", "option_type", "exercise_style"};
        static const Signature sig{"VanillaOption.__new__", names, 4, 4};
        Params<4> p;
        if (!bind(sig, args, kwargs, p.v)) return nullptr;
        double strike;
        if (!to_double(p[0], "strike", strike)) return nullptr;
        if (!require_datetime(p[1], "expiry_time")) return nullptr;
        auto* ot = cast_arg<OptionType>(p[2], type_OptionType(), "option_type", "OptionType");
        if (ot == nullptr) return nullptr;
        auto* es = cast_arg<ExerciseStyle>(p[3], type_ExerciseStyle(), "exercise_style", "ExerciseStyle");
        if (es == nullptr) return nullptr;
        zub::Instant expiry;
        if (!aware_instant(p[1], Rounding::Truncate, "Expiry must have a timezone specified (e.g. New York or UTC)",
                           "Invalid timestamp", expiry)) {
            return nullptr;
        }
        return new_box<VanillaOption>(type, VanillaOption{strike, expiry, *ot, *es});
    });
}

PyObject* option_strike(PyObject* self, void*) { return new_float(value_of<VanillaOption>(self).strike); }

PyObject* option_years_to_expiry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"valuation_date"};
        static const Signature sig{"VanillaOption.years_to_expiry", names, 1, 0};
        Params<1> p;
        if (!bind(sig, args, nargs, kw, p.v)) return nullptr;
        zub::Instant valuation;
        if (p.has(0)) {
            if (!require_datetime(p[0], "valuation_date")) return nullptr;
            if (!aware_instant(p[0], Rounding::Floor,
                               "valuation_date must be timezone-aware (e.g., UTC or New York time)",
                               "Invalid valuation_date timestamp", valuation)) {
                return nullptr;
            }
        } else {
            valuation = now_instant();
        }
        return new_float(value_of<VanillaOption>(self).years_to_expiry(valuation));
    });
}

PyObject* option_valuation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Signature sig{"VanillaOption.valuation", nullptr, 0, 0};
        if (!bind(sig, args, nargs, kw, nullptr)) return nullptr;
        return new_valuation_builder(self);
    });
}

PyObject* option_implied_vol(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Signature sig{"VanillaOption.implied_vol", nullptr, 0, 0};
        if (!bind(sig, args, nargs, kw, nullptr)) return nullptr;
        return new_implied_vol_builder(self);
    });
}

}  // namespace

PyTypeObject* type_OptionType() {
    static PyTypeObject* type = nullptr;
    return once_type(type, [] {
        static PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
            {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<OptionType>)},
            {Py_tp_repr, reinterpret_cast<void*>(option_type_repr)},
            {Py_nb_int, reinterpret_cast<void*>(option_type_int)},
            {0, nullptr},
        };
        static PyType_Spec spec = {"builtins.OptionType", sizeof(Box<OptionType>), 0, Py_TPFLAGS_DEFAULT, slots};
        return make_enum<OptionType>(&spec, {{"Call", OptionType::Call}, {"Put", OptionType::Put}});
    });
}

PyTypeObject* type_ExerciseStyle() {
    static PyTypeObject* type = nullptr;
    return once_type(type, [] {
        static PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
            {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<ExerciseStyle>)},
            {Py_tp_repr, reinterpret_cast<void*>(exercise_style_repr)},
            {Py_nb_int, reinterpret_cast<void*>(exercise_style_int)},
            {0, nullptr},
        };
        static PyType_Spec spec = {"builtins.ExerciseStyle", sizeof(Box<ExerciseStyle>), 0, Py_TPFLAGS_DEFAULT,
                                   slots};
        return make_enum<ExerciseStyle>(
            &spec, {{"American", ExerciseStyle::American}, {"European", ExerciseStyle::European}});
    });
}

PyObject* option_type_member(OptionType t) {
    PyTypeObject* type = type_OptionType();
    if (type == nullptr) return nullptr;
    PyObject* m = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), t == OptionType::Call ? "Call" : "Put");
    Py_XDECREF(m);  // the class keeps the member alive
    return m;
}

PyObject* exercise_style_member(ExerciseStyle s) {
    PyTypeObject* type = type_ExerciseStyle();
    if (type == nullptr) return nullptr;
    PyObject* m = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type),
                                         s == ExerciseStyle::American ? "American" : "European");
    Py_XDECREF(m);
    return m;
}

PyTypeObject* type_VanillaOption() {
    static PyTypeObject* type = nullptr;
    return once_type(type, [] {
        static PyMethodDef methods[] = {
            {"years_to_expiry", fastcall(option_years_to_expiry), kFastKw,
             "years_to_expiry($self, valuation_date=None)\n--\n\n"},
            {"valuation", fastcall(option_valuation), kFastKw, "valuation($self)\n--\n\n"},
            {"implied_vol", fastcall(option_implied_vol), kFastKw, "implied_vol($self)\n--\n\n"},
            {nullptr, nullptr, 0, nullptr},
        };
        static PyGetSetDef getset[] = {
            {"strike", option_strike, nullptr, nullptr, nullptr},
            {nullptr, nullptr, nullptr, nullptr, nullptr},
        };
        static PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(option_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<VanillaOption>)},
            {Py_tp_methods, methods},
            {Py_tp_getset, getset},
            {Py_tp_doc, const_cast<char*>("VanillaOption(strike, expiry_time, option_type, exercise_style)\n--\n\n")},
            {0, nullptr},
        };
        static PyType_Spec spec = {"builtins.VanillaOption", sizeof(Box<VanillaOption>), 0, Py_TPFLAGS_DEFAULT,
                                   slots};
        return make_type(&spec);
    });
}

}  // namespace zub::py
