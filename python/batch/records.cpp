#include "records.hpp"

#include <array>
#include <type_traits>

namespace zub::batch {
namespace {

// Strong references, set once and kept for the life of the process.
std::array<PyTypeObject*, py::kClassCount> classes{};

// The size of the instances of a class holding V (0: no instances).
template <class V>
constexpr Py_ssize_t instance_size() {
    if constexpr (std::is_void_v<V>) {
        return 0;
    } else {
        return static_cast<Py_ssize_t>(sizeof(py::Box<V>));
    }
}

// Whether `cls` is the class zub made under `name`.  zub's attributes can
// be rebound from Python, so the object found there is checked for what
// only zub's own class has together: a class made from C that can be
// neither changed nor subclassed, under that name, with instances of the
// size this module reads (`size`; 0 for a class without instances).
// Those of zub's classes are immutable, so no other of them passes for it.
bool is_zub_class(PyObject* cls, const char* name, Py_ssize_t size) {
    if (!PyType_Check(cls)) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    const unsigned long flags = PyType_GetFlags(type);
    if ((flags & Py_TPFLAGS_BASETYPE) != 0 || (flags & Py_TPFLAGS_IMMUTABLETYPE) == 0) return false;
    const py::Ref type_name = py::Ref::steal(PyType_GetName(type));
    const py::Ref basic = py::Ref::steal(type_name ? PyObject_GetAttrString(cls, "__basicsize__") : nullptr);
    if (!basic) return false;
    return PyUnicode_CompareWithASCIIString(type_name.get(), name) == 0 && PyLong_Check(basic.get()) &&
           (size == 0 || PyLong_AsSsize_t(basic.get()) == size);
}

// Whether zub's __all__ lists the registry's classes, in its order: a zub
// built from another tree registers others.
bool registers_the_registry(PyObject* zub) {
    const py::Ref all = py::Ref::steal(PyObject_GetAttrString(zub, "__all__"));
    if (!all) return false;
    bool same = PyList_Check(all.get()) && PyList_Size(all.get()) == static_cast<Py_ssize_t>(py::kClassCount);
    for (std::size_t i = 0; same && i < py::kClassCount; ++i) {
        PyObject* name = PyList_GetItem(all.get(), static_cast<Py_ssize_t>(i));
        same = PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, py::kClassNames[i]) == 0;
    }
    if (!same) PyErr_SetString(PyExc_ImportError, "zub does not register the classes this zub_batch was built for");
    return same;
}

template <class T>
bool read_value(PyObject* o, T& out) {
    const T* v = value_if<T>(o);
    if (v != nullptr) out = *v;
    return v != nullptr;
}

}  // namespace

bool load_zub_classes() {
    if (classes.back() != nullptr) return true;
    const py::Ref zub = py::Ref::steal(PyImport_ImportModule("zub"));
    if (!zub || !registers_the_registry(zub.get())) return false;
    std::array<py::Ref, py::kClassCount> found;
    bool ok = true;
    py::for_each_class([&]<class E>(E, std::size_t i) {
        if (!ok) return;
        found[i] = py::Ref::steal(PyObject_GetAttrString(zub.get(), E::name));
        if (found[i] && !is_zub_class(found[i].get(), E::name, instance_size<typename E::Value>())) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "zub.%s is not zub's own class", E::name);
            found[i] = py::Ref();
        }
        ok = static_cast<bool>(found[i]);
    });
    // The import may let another thread finish first; its classes are kept.
    if (!ok || classes.back() != nullptr) return ok;
    for (std::size_t i = 0; i < py::kClassCount; ++i) {
        classes[i] = reinterpret_cast<PyTypeObject*>(found[i].release());
    }
    return true;
}

PyTypeObject* zub_class(std::size_t i) noexcept { return classes[i]; }


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
    return read_shared(o, name, py::kClassNames[py::class_index<py::FrameState>], &py::FrameState::record, out);
}

bool read_config(PyObject* o, const char* name, std::shared_ptr<const ConfigTable>& out) {
    out = nullptr;
    if (o == nullptr || o == Py_None) return true;
    return read_shared(o, name, py::kClassNames[py::class_index<py::ConfigState>], &py::ConfigState::table, out);
}

bool option_type_member(PyObject* o, OptionType& out) { return read_value(o, out); }

bool exercise_style_member(PyObject* o, ExerciseStyle& out) { return read_value(o, out); }

}  // namespace zub::batch
