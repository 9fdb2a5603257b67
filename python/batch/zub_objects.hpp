// zub's objects seen from the companion module.
//
// How this works: the companion is compiled from the same source tree, by
// the same compiler and against the same headers as zub, so an instance of
// one of zub's classes has the same layout on both sides: the Python object
// header followed by one C++ value, py::Box<T> (boundary.hpp), where T is
// the value type zub's bindings keep for that class (types.hpp).  The class
// objects are read once from the imported zub module, and a value is read
// only after checking that the object's type is exactly the class that
// holds a T (zub's classes cannot be subclassed, and no name or isinstance
// test is trusted).  An instance made here is allocated by its class's own
// allocator, its value constructed in place, and later destroyed by zub's
// deallocator, which runs T's destructor.  Everything here runs with the
// interpreter lock held.
#pragma once

#include <utility>

#include "types.hpp"

namespace zub::batch {

// zub's classes (strong references kept for the life of the process).
struct ZubClasses {
    PyTypeObject* compounding;
    PyTypeObject* day_count_convention;
    PyTypeObject* frequency;
    PyTypeObject* interest_rate;
    PyTypeObject* vanilla_option;
    PyTypeObject* option_market_frame;
    PyTypeObject* tenor;
    PyTypeObject* rate_curve;
    PyTypeObject* vol_surface;
    PyTypeObject* fdm_config;
    PyTypeObject* config;
    PyTypeObject* option_type;
    PyTypeObject* exercise_style;
    PyTypeObject* option_result;
    PyTypeObject* greeks;
    PyTypeObject* instrument_policy;
    PyTypeObject* dividend_schedule;
    PyTypeObject* transform_config;
};

// The class whose instances hold a T.
template <class T>
struct ClassOf;

#define ZUB_BATCH_CLASS_OF(T, field)                                              \
    template <>                                                                   \
    struct ClassOf<T> {                                                           \
        static constexpr PyTypeObject* ZubClasses::*member = &ZubClasses::field; \
    }
ZUB_BATCH_CLASS_OF(zub::Compounding, compounding);
ZUB_BATCH_CLASS_OF(zub::DayCountConvention, day_count_convention);
ZUB_BATCH_CLASS_OF(zub::Frequency, frequency);
ZUB_BATCH_CLASS_OF(zub::InterestRate, interest_rate);
ZUB_BATCH_CLASS_OF(zub::VanillaOption, vanilla_option);
ZUB_BATCH_CLASS_OF(py::FrameState, option_market_frame);
ZUB_BATCH_CLASS_OF(zub::Tenor, tenor);
ZUB_BATCH_CLASS_OF(zub::RateCurve, rate_curve);
ZUB_BATCH_CLASS_OF(zub::VolSurface, vol_surface);
ZUB_BATCH_CLASS_OF(zub::FdmConfig, fdm_config);
ZUB_BATCH_CLASS_OF(py::ConfigState, config);
ZUB_BATCH_CLASS_OF(zub::OptionType, option_type);
ZUB_BATCH_CLASS_OF(zub::ExerciseStyle, exercise_style);
ZUB_BATCH_CLASS_OF(zub::OptionResult, option_result);
ZUB_BATCH_CLASS_OF(zub::Greeks, greeks);
ZUB_BATCH_CLASS_OF(py::PolicyState, instrument_policy);
ZUB_BATCH_CLASS_OF(py::DividendList, dividend_schedule);
ZUB_BATCH_CLASS_OF(zub::TransformConfig, transform_config);
#undef ZUB_BATCH_CLASS_OF

// Imports zub on first use and reads its classes by name.  nullptr with an
// exception set when that fails (a later call tries again).
inline const ZubClasses* zub_classes() {
    static ZubClasses stored{};
    static bool ready = false;
    if (ready) return &stored;
    static constexpr std::pair<const char*, PyTypeObject* ZubClasses::*> names[] = {
        {"Compounding", &ZubClasses::compounding},
        {"DayCountConvention", &ZubClasses::day_count_convention},
        {"Frequency", &ZubClasses::frequency},
        {"InterestRate", &ZubClasses::interest_rate},
        {"VanillaOption", &ZubClasses::vanilla_option},
        {"OptionMarketFrame", &ZubClasses::option_market_frame},
        {"Tenor", &ZubClasses::tenor},
        {"RateCurve", &ZubClasses::rate_curve},
        {"VolSurface", &ZubClasses::vol_surface},
        {"FdmConfig", &ZubClasses::fdm_config},
        {"Config", &ZubClasses::config},
        {"OptionType", &ZubClasses::option_type},
        {"ExerciseStyle", &ZubClasses::exercise_style},
        {"OptionResult", &ZubClasses::option_result},
        {"Greeks", &ZubClasses::greeks},
        {"InstrumentPolicy", &ZubClasses::instrument_policy},
        {"DividendSchedule", &ZubClasses::dividend_schedule},
        {"TransformConfig", &ZubClasses::transform_config},
    };
    PyObject* module = PyImport_ImportModule("zub");
    if (module == nullptr) return nullptr;
    ZubClasses found{};
    bool ok = true;
    for (const auto& [name, field] : names) {
        PyObject* cls = PyObject_GetAttrString(module, name);
        if (cls != nullptr && !PyType_Check(cls)) {
            PyErr_Format(PyExc_ImportError, "zub.%s is not a class", name);
            Py_CLEAR(cls);
        }
        found.*field = reinterpret_cast<PyTypeObject*>(cls);
        if (cls == nullptr) {
            ok = false;
            break;
        }
    }
    Py_DECREF(module);
    // The import may let another thread finish first; its classes are kept.
    if (!ok || ready) {
        for (const auto& [name, field] : names) Py_XDECREF(reinterpret_cast<PyObject*>(found.*field));
        return ok ? &stored : nullptr;
    }
    stored = found;
    ready = true;
    return &stored;
}

// The value `o` holds when its type is exactly the class holding a T;
// nullptr (no exception) for any other object.
template <class T>
T* value_if(const ZubClasses& classes, PyObject* o) {
    return Py_TYPE(o) == classes.*ClassOf<T>::member ? &py::value_of<T>(o) : nullptr;
}

// A new instance of the class holding a T, its value made from `args`.
// May throw what T's constructor throws (nothing is left allocated then).
template <class T, class... Args>
PyObject* new_instance(const ZubClasses& classes, Args&&... args) {
    return py::new_box<T>(classes.*ClassOf<T>::member, std::forward<Args>(args)...);
}

}  // namespace zub::batch
