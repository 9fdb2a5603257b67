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

bool read_frame(PyObject* o, const char* name, std::shared_ptr<const MarketRecord>& out) {
    auto* frame = value_if<py::FrameState>(o);
    if (frame == nullptr) {
        py::set_cast_error(o, name, "OptionMarketFrame");
        return false;
    }
    // zub's FrameState: a borrow flag and the shared record.
    py::SharedBorrow borrow(frame->borrow);
    if (!borrow.ok()) return false;
    out = frame->record;
    return true;
}

bool read_config(PyObject* o, const char* name, std::shared_ptr<const ConfigTable>& out) {
    out = nullptr;
    if (o == nullptr || o == Py_None) return true;
    auto* config = value_if<py::ConfigState>(o);
    if (config == nullptr) {
        py::set_cast_error(o, name, "Config");
        return false;
    }
    // zub's ConfigState: a borrow flag and an immutable table replaced whole.
    py::SharedBorrow borrow(config->borrow);
    if (!borrow.ok()) return false;
    out = config->table;
    return true;
}

bool option_type_member(PyObject* o, OptionType& out) { return read_value(o, out); }

bool exercise_style_member(PyObject* o, ExerciseStyle& out) { return read_value(o, out); }

}  // namespace zub::batch
