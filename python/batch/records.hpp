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

#include "registry.hpp"

namespace zub::batch {

// Imports zub and keeps its classes (strong references for the life of the
// process), after checking that zub registers the registry's classes and
// that each is zub's own.  False with ImportError or another exception set.
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

// zub's class at position `i` of the registry (loaded by load_zub_classes).
PyTypeObject* zub_class(std::size_t i) noexcept;

// The class whose instances hold a T.
template <class T>
PyTypeObject* class_holding() noexcept {
    return zub_class(py::class_index<T>);
}

// The value `o` holds when its type is exactly the class holding a T;
// nullptr (no exception) for any other object, nullptr included.
template <class T>
T* value_if(PyObject* o) {
    return o != nullptr && Py_TYPE(o) == class_holding<T>() ? &py::value_of<T>(o) : nullptr;
}

// A new instance of the class holding a T: allocated by that class, its
// value constructed here from `args`, destroyed later by zub's deallocator
// (which runs T's destructor).  May throw what T's constructor throws,
// leaving nothing allocated.
template <class T, class... Args>
PyObject* new_instance(Args&&... args) {
    return py::new_box<T>(class_holding<T>(), std::forward<Args>(args)...);
}

}  // namespace zub::batch
