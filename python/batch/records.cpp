#include "records.hpp"

#include "types.hpp"

namespace zub::batch {
namespace {

struct Classes {
    PyObject* frame = nullptr;
    PyObject* config = nullptr;
    PyObject* option_type = nullptr;
    PyObject* exercise_style = nullptr;
};

Classes classes;

bool is_exactly(PyObject* o, PyObject* cls) {
    return o != nullptr && reinterpret_cast<PyObject*>(Py_TYPE(o)) == cls;
}

// The value of an enumeration member: zub's members are Box<E> instances.
template <class E>
bool member(PyObject* o, PyObject* cls, E& out) {
    if (!is_exactly(o, cls)) return false;
    out = py::value_of<E>(o);
    return true;
}

}  // namespace

bool load_zub_classes() {
    if (classes.frame != nullptr) return true;
    PyObject* zub = PyImport_ImportModule("zub");
    if (zub == nullptr) return false;
    Classes c;
    c.frame = PyObject_GetAttrString(zub, "OptionMarketFrame");
    c.config = c.frame ? PyObject_GetAttrString(zub, "Config") : nullptr;
    c.option_type = c.config ? PyObject_GetAttrString(zub, "OptionType") : nullptr;
    c.exercise_style = c.option_type ? PyObject_GetAttrString(zub, "ExerciseStyle") : nullptr;
    Py_DECREF(zub);
    if (c.exercise_style == nullptr) {
        Py_XDECREF(c.frame);
        Py_XDECREF(c.config);
        Py_XDECREF(c.option_type);
        return false;
    }
    classes = c;
    return true;
}

bool read_frame(PyObject* o, const char* name, std::shared_ptr<const MarketRecord>& out) {
    if (!is_exactly(o, classes.frame)) {
        py::set_arg_cast_error(o, name, "OptionMarketFrame");
        return false;
    }
    // zub's FrameState: a borrow flag and the shared record.
    auto& frame = py::value_of<py::FrameState>(o);
    py::SharedBorrow borrow(frame.borrow);
    if (!borrow.ok()) return false;
    out = frame.record;
    return true;
}

bool read_config(PyObject* o, const char* name, std::shared_ptr<const ConfigTable>& out) {
    out = nullptr;
    if (o == nullptr || o == Py_None) return true;
    if (!is_exactly(o, classes.config)) {
        py::set_arg_cast_error(o, name, "Config");
        return false;
    }
    // zub's ConfigState: a borrow flag and an immutable table replaced whole.
    auto& config = py::value_of<py::ConfigState>(o);
    py::SharedBorrow borrow(config.borrow);
    if (!borrow.ok()) return false;
    out = config.table;
    return true;
}

bool option_type_member(PyObject* o, OptionType& out) { return member(o, classes.option_type, out); }

bool exercise_style_member(PyObject* o, ExerciseStyle& out) { return member(o, classes.exercise_style, out); }

}  // namespace zub::batch
