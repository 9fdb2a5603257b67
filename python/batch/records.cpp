#include "records.hpp"

#include "types.hpp"

namespace zub::batch {
namespace {

ZubClasses classes{};

constexpr std::pair<const char*, PyTypeObject* ZubClasses::*> kClassNames[] = {
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

template <class T>
bool read_value(PyObject* o, T& out) {
    const T* v = value_if<T>(o);
    if (v != nullptr) out = *v;
    return v != nullptr;
}

}  // namespace

bool load_zub_classes() {
    if (classes.transform_config != nullptr) return true;
    PyObject* zub = PyImport_ImportModule("zub");
    if (zub == nullptr) return false;
    ZubClasses c{};
    bool ok = true;
    for (const auto& [name, field] : kClassNames) {
        PyObject* cls = PyObject_GetAttrString(zub, name);
        if (cls != nullptr && !PyType_Check(cls)) {
            PyErr_Format(PyExc_ImportError, "zub.%s is not a class", name);
            Py_CLEAR(cls);
        }
        c.*field = reinterpret_cast<PyTypeObject*>(cls);
        ok = cls != nullptr;
        if (!ok) break;
    }
    Py_DECREF(zub);
    // The import may let another thread finish first; its classes are kept.
    if (!ok || classes.transform_config != nullptr) {
        for (const auto& [name, field] : kClassNames) Py_XDECREF(reinterpret_cast<PyObject*>(c.*field));
        return ok;
    }
    classes = c;
    return true;
}

const ZubClasses& zub_classes() { return classes; }

namespace {

// The shared value a frame or a configuration holds, read under its borrow
// flag: zub's FrameState and ConfigState are a borrow flag and one shared,
// immutable value (a record, or a method table replaced whole).
template <class State, class T>
bool read_shared(PyObject* o, const char* name, const char* target, std::shared_ptr<const T> State::*field,
                 std::shared_ptr<const T>& out) {
    auto* state = value_if<State>(o);
    if (state == nullptr) {
        py::set_cast_error(o, name, target);
        return false;
    }
    py::SharedBorrow borrow(state->borrow);
    if (!borrow.ok()) return false;
    out = state->*field;
    return true;
}

}  // namespace

bool read_frame(PyObject* o, const char* name, std::shared_ptr<const MarketRecord>& out) {
    return read_shared(o, name, "OptionMarketFrame", &py::FrameState::record, out);
}

bool read_config(PyObject* o, const char* name, std::shared_ptr<const ConfigTable>& out) {
    out = nullptr;
    if (o == nullptr || o == Py_None) return true;
    return read_shared(o, name, "Config", &py::ConfigState::table, out);
}

bool option_type_member(PyObject* o, OptionType& out) { return read_value(o, out); }

bool exercise_style_member(PyObject* o, ExerciseStyle& out) { return read_value(o, out); }

}  // namespace zub::batch
