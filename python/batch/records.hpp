// The one place where this module reads the records inside zub's objects
// (and, to unpickle results and options, places one into a new instance).
//
// zub_batch is compiled from the same source tree as zub and links the same
// pricing core, so it knows how zub lays out its instances: a Python object
// header followed by one C++ value (Box<T> in boundary.hpp).  Before a value
// is read, the object's type is compared by identity with the class object
// that the imported zub module exports, itself checked at import to be
// zub's own; a subclass or any look-alike is refused with a TypeError.  Every other file of the module goes through
// these functions, so a change of zub's object layout is mended here alone.
#pragma once

#include <memory>
#include <utility>

#include "types.hpp"

namespace zub::batch {

// Imports zub and keeps its classes (strong references for the life of the
// process).  False with an exception set.
bool load_zub_classes();

// The market record an OptionMarketFrame holds; it is shared, not copied,
// and stays valid while `out` lives even if the frame is changed later
// (frames copy their record before writing when it is shared).
bool read_frame(PyObject* o, const char* name, std::shared_ptr<const MarketRecord>& out);

// The method table a Config holds; None gives nullptr (the defaults).
bool read_config(PyObject* o, const char* name, std::shared_ptr<const ConfigTable>& out);

// An OptionType / ExerciseStyle member: true with the code when `o` is one,
// false without an exception when it is anything else.
bool option_type_member(PyObject* o, OptionType& out);
bool exercise_style_member(PyObject* o, ExerciseStyle& out);

// zub's value classes (loaded by load_zub_classes).
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
const ZubClasses& zub_classes();

// The class whose instances hold a T (types.hpp names the value of each).
template <class T>
struct ClassOf;

#define ZUB_BATCH_CLASS_OF(T, field)                                              \
    template <>                                                                   \
    struct ClassOf<T> {                                                           \
        static constexpr PyTypeObject* ZubClasses::*member = &ZubClasses::field; \
    }
ZUB_BATCH_CLASS_OF(Compounding, compounding);
ZUB_BATCH_CLASS_OF(DayCountConvention, day_count_convention);
ZUB_BATCH_CLASS_OF(Frequency, frequency);
ZUB_BATCH_CLASS_OF(InterestRate, interest_rate);
ZUB_BATCH_CLASS_OF(VanillaOption, vanilla_option);
ZUB_BATCH_CLASS_OF(py::FrameState, option_market_frame);
ZUB_BATCH_CLASS_OF(Tenor, tenor);
ZUB_BATCH_CLASS_OF(RateCurve, rate_curve);
ZUB_BATCH_CLASS_OF(VolSurface, vol_surface);
ZUB_BATCH_CLASS_OF(FdmConfig, fdm_config);
ZUB_BATCH_CLASS_OF(py::ConfigState, config);
ZUB_BATCH_CLASS_OF(OptionType, option_type);
ZUB_BATCH_CLASS_OF(ExerciseStyle, exercise_style);
ZUB_BATCH_CLASS_OF(OptionResult, option_result);
ZUB_BATCH_CLASS_OF(Greeks, greeks);
ZUB_BATCH_CLASS_OF(py::PolicyState, instrument_policy);
ZUB_BATCH_CLASS_OF(py::DividendList, dividend_schedule);
ZUB_BATCH_CLASS_OF(TransformConfig, transform_config);
#undef ZUB_BATCH_CLASS_OF

// The value `o` holds when its type is exactly the class holding a T;
// nullptr (no exception) for any other object, nullptr included.
template <class T>
T* value_if(PyObject* o) {
    return o != nullptr && Py_TYPE(o) == zub_classes().*ClassOf<T>::member ? &py::value_of<T>(o) : nullptr;
}

// A new instance of the class holding a T: allocated by that class, its
// value constructed here from `args`, destroyed later by zub's deallocator
// (which runs T's destructor).  May throw what T's constructor throws,
// leaving nothing allocated.
template <class T, class... Args>
PyObject* new_instance(Args&&... args) {
    return py::new_box<T>(zub_classes().*ClassOf<T>::member, std::forward<Args>(args)...);
}

}  // namespace zub::batch
