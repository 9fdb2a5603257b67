#include "records.hpp"

#include "types.hpp"

namespace zub::batch {
namespace {

ZubClasses classes{};

// A class of zub's as this module knows it: its name, where it is kept, and
// the size of its instances (a Box of the value it holds).
struct Known {
    const char* name;
    PyTypeObject* ZubClasses::*field;
    Py_ssize_t size;
};

template <class T>
constexpr Known known(const char* name) {
    return {name, ClassOf<T>::member, static_cast<Py_ssize_t>(sizeof(py::Box<T>))};
}

constexpr Known kClasses[] = {
    known<Compounding>("Compounding"),
    known<DayCountConvention>("DayCountConvention"),
    known<Frequency>("Frequency"),
    known<InterestRate>("InterestRate"),
    known<VanillaOption>("VanillaOption"),
    known<py::FrameState>("OptionMarketFrame"),
    known<Tenor>("Tenor"),
    known<RateCurve>("RateCurve"),
    known<VolSurface>("VolSurface"),
    known<FdmConfig>("FdmConfig"),
    known<py::ConfigState>("Config"),
    known<OptionType>("OptionType"),
    known<ExerciseStyle>("ExerciseStyle"),
    known<OptionResult>("OptionResult"),
    known<Greeks>("Greeks"),
    known<py::PolicyState>("InstrumentPolicy"),
    known<py::DividendList>("DividendSchedule"),
    known<TransformConfig>("TransformConfig"),
};

// Whether `cls` is the class zub made for `k`.  zub's attributes can be
// rebound from Python, so the object found there is checked for what only
// zub's own class has together: a class made from C that can be neither
// changed nor subclassed, under k's name, with instances of k's size.
// Those of zub's classes are immutable, so no other of them passes for it.
bool is_zub_class(PyObject* cls, const Known& k) {
    if (!PyType_Check(cls)) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    const unsigned long flags = PyType_GetFlags(type);
    if ((flags & Py_TPFLAGS_BASETYPE) != 0 || (flags & Py_TPFLAGS_IMMUTABLETYPE) == 0) return false;
    const py::Ref name = py::Ref::steal(PyType_GetName(type));
    const py::Ref size = py::Ref::steal(name ? PyObject_GetAttrString(cls, "__basicsize__") : nullptr);
    if (!size) return false;
    return PyUnicode_CompareWithASCIIString(name.get(), k.name) == 0 && PyLong_Check(size.get()) &&
           PyLong_AsSsize_t(size.get()) == k.size;
}

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
    for (const Known& k : kClasses) {
        PyObject* cls = PyObject_GetAttrString(zub, k.name);
        if (cls != nullptr && !is_zub_class(cls, k)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "zub.%s is not zub's own class", k.name);
            Py_CLEAR(cls);
        }
        c.*k.field = reinterpret_cast<PyTypeObject*>(cls);
        ok = cls != nullptr;
        if (!ok) break;
    }
    Py_DECREF(zub);
    // The import may let another thread finish first; its classes are kept.
    if (!ok || classes.transform_config != nullptr) {
        for (const Known& k : kClasses) Py_XDECREF(reinterpret_cast<PyObject*>(c.*k.field));
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
