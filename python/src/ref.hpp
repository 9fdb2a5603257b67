// Ref: one owned reference to a Python object.  The only code in the module
// that counts references; everything else holds a Ref, so no early return
// can leak or drop one twice.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

// Outside the limited API's headers, but exported by every interpreter the
// module supports.
extern "C" int PyGILState_Check(void);

namespace zub::py {

class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (nullptr allowed: a failed call).
    static Ref steal(PyObject* o) noexcept { return Ref(o); }
    // Adds a reference of its own to a borrowed one.
    static Ref borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return Ref(o);
    }
    template <class T>
    static Ref borrow(T* o) noexcept {
        return borrow(reinterpret_cast<PyObject*>(o));
    }

    Ref(Ref&& other) noexcept : p_(other.release()) {}
    // The old reference is dropped when `other`, now holding it, ends.
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() {
        // A thread ended by the interpreter's shutdown unwinds without the
        // interpreter lock: the reference is then left to the exit.  Such
        // unwinds start only once the interpreter is marked uninitialised,
        // so the lock is asked about (a thread-local look-up) only then.
        if (p_ != nullptr && (Py_IsInitialized() || PyGILState_Check())) Py_DECREF(p_);
    }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller (a CPython function's result).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* o) noexcept : p_(o) {}
    PyObject* p_ = nullptr;
};

}  // namespace zub::py
