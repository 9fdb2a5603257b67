// RateCurve and VolSurface.
#include <vector>

#include "datetime_conv.hpp"
#include "types.hpp"

namespace zub::py {
namespace {

using zub::RateCurve;
using zub::VolSurface;

PyObject* curve_flat(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"rate"};
        static const Signature sig{"RateCurve.flat", names, 1, 1};
        Params<1> p;
        if (!bind(sig, args, nargs, kw, p.v)) return nullptr;
        auto* r = cast_arg<zub::InterestRate>(p[0], type_InterestRate(), "rate", "InterestRate");
        return r ? wrap_rate_curve(RateCurve::flat(*r)) : nullptr;
    });
}

PyObject* curve_continuous(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"rate", "day_count_convention"};
        static const Signature sig{"RateCurve.continuous", names, 2, 2};
        Params<2> p;
        if (!bind(sig, args, nargs, kw, p.v)) return nullptr;
        double r;
        if (!to_double(p[0], "rate", r)) return nullptr;
        auto* d = cast_arg<zub::DayCountConvention>(p[1], type_DayCountConvention(), "day_count_convention",
                                                    "DayCountConvention");
        return d ? wrap_rate_curve(RateCurve::continuous(r, *d)) : nullptr;
    });
}

// Converts a sequence of module objects of one class into their values.
template <class T>
bool values_of(PyObject* seq, const char* name, PyTypeObject* type, const char* type_name, std::vector<T>& out) {
    if (type == nullptr) return false;
    return for_each_in_sequence(
        seq, name, [&](std::size_t n) { out.reserve(n); },
        [&](PyObject* item) {
            T* v = cast_arg<T>(item, type, name, type_name);
            if (v == nullptr) return false;
            out.push_back(*v);
            return true;
        });
}

PyObject* curve_interpolated(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"reference_date", "tenors", "rates"};
        static const Signature sig{"RateCurve.interpolated", names, 3, 3};
        Params<3> p;
        if (!bind(sig, args, nargs, kw, p.v)) return nullptr;
        zub::Date reference;
        if (!to_date(p[0], "reference_date", reference)) return nullptr;
        std::vector<zub::Tenor> tenors;
        if (!values_of(p[1], "tenors", type_Tenor(), "Tenor", tenors)) return nullptr;
        std::vector<zub::InterestRate> rates;
        if (!values_of(p[2], "rates", type_InterestRate(), "InterestRate", rates)) return nullptr;
        auto curve = RateCurve::interpolated(reference, tenors, rates);
        if (auto* err = std::get_if<zub::CurveError>(&curve)) {
            PyErr_SetString(PyExc_ValueError, ("Curve Error: " + err->text()).c_str());
            return nullptr;
        }
        return wrap_rate_curve(std::get<RateCurve>(curve));
    });
}

// Shared body of the float-in, float-out methods.
template <class F>
PyObject* float_method(const Signature& sig, const char* arg, PyObject* const* args, Py_ssize_t nargs, PyObject* kw,
                       F&& f) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Params<1> p;
        if (!bind(sig, args, nargs, kw, p.v)) return nullptr;
        double t;
        if (!to_double(p[0], arg, t)) return nullptr;
        return new_float(f(t));
    });
}

const char* const t_name[] = {"t"};

PyObject* curve_zero_rate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"RateCurve.zero_rate", t_name, 1, 1};
    return float_method(sig, "t", args, nargs, kw, [&](double t) { return value_of<RateCurve>(self).zero_rate(t); });
}

PyObject* curve_discount_factor(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"RateCurve.discount_factor", t_name, 1, 1};
    return float_method(sig, "t", args, nargs, kw,
                        [&](double t) { return value_of<RateCurve>(self).discount_factor(t); });
}

PyObject* surface_flat(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"vol", "day_count"};
        static const Signature sig{"VolSurface.flat", names, 2, 2};
        Params<2> p;
        if (!bind(sig, args, nargs, kw, p.v)) return nullptr;
        double v;
        if (!to_double(p[0], "vol", v)) return nullptr;
        auto* d = cast_arg<zub::DayCountConvention>(p[1], type_DayCountConvention(), "day_count",
                                                    "DayCountConvention");
        return d ? wrap_vol_surface(VolSurface::flat(v, *d)) : nullptr;
    });
}

PyObject* surface_volatility(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"strike", "t"};
        static const Signature sig{"VolSurface.volatility", names, 2, 2};
        Params<2> p;
        if (!bind(sig, args, nargs, kw, p.v)) return nullptr;
        double k, t;
        if (!to_double(p[0], "strike", k) || !to_double(p[1], "t", t)) return nullptr;
        return new_float(value_of<VolSurface>(self).volatility(k, t));
    });
}

}  // namespace

PyTypeObject* type_RateCurve() {
    static PyTypeObject* type = nullptr;
    return once_type(type, [] {
        static PyMethodDef methods[] = {
            {"flat", fastcall(curve_flat), kFastKw | METH_STATIC, "flat(rate)\n--\n\n"},
            {"continuous", fastcall(curve_continuous), kFastKw | METH_STATIC,
             "continuous(rate, day_count_convention)\n--\n\n"},
            {"interpolated", fastcall(curve_interpolated), kFastKw | METH_STATIC,
             "interpolated(reference_date, tenors, rates)\n--\n\n"},
            {"zero_rate", fastcall(curve_zero_rate), kFastKw, "zero_rate($self, t)\n--\n\n"},
            {"discount_factor", fastcall(curve_discount_factor), kFastKw, "discount_factor($self, t)\n--\n\n"},
            {nullptr, nullptr, 0, nullptr},
        };
        static PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
            {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<RateCurve>)},
            {Py_tp_methods, methods},
            {0, nullptr},
        };
        static PyType_Spec spec = {"builtins.RateCurve", sizeof(Box<RateCurve>), 0, Py_TPFLAGS_DEFAULT, slots};
        return make_type(&spec);
    });
}

PyTypeObject* type_VolSurface() {
    static PyTypeObject* type = nullptr;
    return once_type(type, [] {
        static PyMethodDef methods[] = {
            {"flat", fastcall(surface_flat), kFastKw | METH_STATIC, "flat(vol, day_count)\n--\n\n"},
            {"volatility", fastcall(surface_volatility), kFastKw, "volatility($self, strike, t)\n--\n\n"},
            {nullptr, nullptr, 0, nullptr},
        };
        static PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
            {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<VolSurface>)},
            {Py_tp_methods, methods},
            {0, nullptr},
        };
        static PyType_Spec spec = {"builtins.VolSurface", sizeof(Box<VolSurface>), 0, Py_TPFLAGS_DEFAULT, slots};
        return make_type(&spec);
    });
}

PyObject* wrap_rate_curve(const RateCurve& c) {
    PyTypeObject* t = type_RateCurve();
    return t ? new_box<RateCurve>(t, c) : nullptr;
}

PyObject* wrap_vol_surface(const VolSurface& s) {
    PyTypeObject* t = type_VolSurface();
    return t ? new_box<VolSurface>(t, s) : nullptr;
}

}  // namespace zub::py
