// Shared machinery of the Python boundary: argument binding, conversions,
// error mapping and object layout.  Every class uses these so that each
// message is written once.
#pragma once

#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <utility>

#include "core/error.hpp"
#include "ref.hpp"

namespace zub::py {

// ---------------------------------------------------------------------------
// Argument binding

// A callable's parameters, all positional-or-keyword.  Parameters at index
// >= required have the default None (absent).
struct Signature {
    const char* qualname;  // "VanillaOption.__new__", "Tenor.days"
    const char* const* names;
    int count;
    int required;
    // The text signature's default of each optional parameter; nullptr
    // (all, or one) shows None.
    const char* const* defaults = nullptr;
};

// Binds vectorcall-style arguments into `out` (borrowed references, nullptr
// when not given).  Returns false with TypeError set on a binding failure.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
// The same for tuple/dict arguments (constructors).
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// The text signature of `sig` as a documentation string: "name(a, b=None)"
// for a method, with "$self, " first for an instance method, and the class
// name for a constructor ("X.__new__"), followed by `doc` when given.  Kept
// for the life of the process.
const char* text_signature(const Signature& sig, bool self, const char* doc = nullptr);

// ---------------------------------------------------------------------------
// Conversions.  Each returns false with a Python exception set; TypeErrors
// carry the "argument 'name': " prefix.

// Re-raises a pending TypeError as "argument '<name>': <message>", keeping
// its cause; other exceptions, and every one when `name` is nullptr, are
// left as they are.  Returns false, the result of a failed conversion.
bool prefix_argument_error(const char* name);

bool to_double(PyObject* o, const char* name, double& out);
bool to_i32(PyObject* o, const char* name, int32_t& out);
bool to_u64(PyObject* o, const char* name, uint64_t& out);

// A type's `__qualname__` or `__module__` as text for a message: str() of
// whatever the attribute holds, or the type's own name when reading it or
// str() fails.  New reference; nullptr only when out of memory.
PyObject* type_text(PyTypeObject* type, const char* attr);

// Sets TypeError "'<type>' object cannot be cast as '<target>'", with the
// argument prefix when `name` is not nullptr.  `target` may name a type the
// module does not define ("Sequence", "tuple", "datetime"): the message
// speaks of what the caller should have passed.
void set_cast_error(PyObject* o, const char* name, const char* target);
// The same naming the class `target`.
void set_cast_error(PyObject* o, const char* name, PyTypeObject* target);

// Sets `type` with `message` and returns false: the error exit of a
// conversion.
inline bool fail(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    return false;
}

// ---------------------------------------------------------------------------
// Failures

// The internal-failure exception type (derives from BaseException).
PyObject* panic_type();
void raise_panic(const char* message);
// Raises the Python exception for a core error value.  For Cancelled the
// interpreter's pending exception (KeyboardInterrupt) stays; if none is
// pending a KeyboardInterrupt is raised.
void raise_error(const zub::Error& e);

// Runs `body` and turns any escaping C++ exception into a Python exception:
// zub::Panic and other std::exception -> PanicException with the message,
// std::bad_alloc -> MemoryError.  `Fail` is what to return on failure.
//
// Not noexcept, and the thread's forced unwind passes through: the
// interpreter ends a daemon thread that asks for the lock during shutdown
// (inside a Python callback that `body` made) by unwinding its stack, and
// swallowing that unwind aborts the process.  The unwind is no C++
// exception, so it has no exception_ptr; it is told apart by that rather
// than caught by type, which would bind a reference to no object.
template <class R, class F>
R guarded(R fail, F&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        if (!std::current_exception()) throw;
        raise_panic(nullptr);
    }
    return fail;
}

// A cancellation check that asks the interpreter for pending signals, so
// Ctrl-C ends a long computation with KeyboardInterrupt.
zub::CancelCheck signal_check();

// ---------------------------------------------------------------------------
// Objects

// Borrow flag of mutable objects: >0 shared borrows, -1 exclusive.
struct BorrowFlag {
    Py_ssize_t state = 0;
};

// A shared (reading) or exclusive (writing) borrow for one access; ok() is
// false, with RuntimeError set, when the object is in a conflicting one.
template <bool Exclusive>
class Borrow {
public:
    explicit Borrow(BorrowFlag& f) : f_(f) {
        if (Exclusive ? f_.state != 0 : f_.state < 0) {
            PyErr_SetString(PyExc_RuntimeError, Exclusive ? "Already borrowed" : "Already mutably borrowed");
            ok_ = false;
        } else {
            f_.state = Exclusive ? -1 : f_.state + 1;
        }
    }
    ~Borrow() {
        if (ok_) f_.state = Exclusive ? 0 : f_.state - 1;
    }
    bool ok() const { return ok_; }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;

private:
    BorrowFlag& f_;
    bool ok_ = true;
};
using SharedBorrow = Borrow<false>;
using ExclusiveBorrow = Borrow<true>;

// A Python object holding one C++ value.
template <class T>
struct Box {
    PyObject_HEAD
    T value;
};

template <class T>
T& value_of(PyObject* o) {
    return reinterpret_cast<Box<T>*>(o)->value;
}

// Frees an instance's memory (its value already destroyed or never made)
// and drops its reference to its class.
void free_box(PyObject* o);

// Allocates an instance of `type` and constructs its value in place.
template <class T, class... Args>
PyObject* new_box(PyTypeObject* type, Args&&... args) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* o = alloc(type, 0);
    if (o == nullptr) return nullptr;
    try {
        new (&reinterpret_cast<Box<T>*>(o)->value) T(std::forward<Args>(args)...);
    } catch (...) {
        free_box(o);
        throw;
    }
    return o;
}

// tp_dealloc for Box<T>.
template <class T>
void box_dealloc(PyObject* o) {
    reinterpret_cast<Box<T>*>(o)->value.~T();
    free_box(o);
}

// tp_new of classes without a constructor:
// "cannot create 'builtins.X' instances".
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Type creation journal: every type stored by once_type is recorded, so
// that a creation that fails can withdraw the types made while it ran (a
// class whose members are instances of another class must not outlive a
// failed attempt at that class).  Both run with the interpreter lock held.
std::size_t types_made();
void record_type(PyTypeObject** slot);
// Withdraws, newest first, every type recorded after the first `keep`.
void withdraw_types_since(std::size_t keep);

// The once-per-process type getter: creates the type with `make` on first
// use and keeps it.  `make` returns a new reference or nullptr; it may store
// the type in `slot` itself before it is complete.  Creating a type can run
// Python code (a collection's finalizers), which lets another thread in to
// make a second one: the first stored is kept, a later one dropped.  A
// failed `make` leaves nothing behind: types made meanwhile are withdrawn.
template <class Make>
PyTypeObject* once_type(PyTypeObject*& slot, Make&& make) {
    if (slot != nullptr) return slot;
    const std::size_t before = types_made();
    Ref made = Ref::steal(reinterpret_cast<PyObject*>(make()));
    if (!made) {
        withdraw_types_since(before);
        return nullptr;
    }
    auto* t = reinterpret_cast<PyTypeObject*>(made.get());
    if (slot == nullptr) {
        slot = t;
        record_type(&slot);
    }
    if (slot == t) made.release();
    return slot;
}

// once_type with a slot of the caller's own: each lambda has a type, and so
// a slot, of its own.
template <class Make>
PyTypeObject* once(Make make) {
    static PyTypeObject* slot = nullptr;
    return once_type(slot, make);
}


// ---------------------------------------------------------------------------
// Sequences

// The sequence rule: refuses str ("Can't extract `str` to `Vec`") and
// non-sequences (cast error naming "Sequence"), then calls
// `each(item)` for every element in order; `each` returns false with an
// exception set to stop.  `reserve(n)` receives the length when known.
template <class Reserve, class Each>
bool for_each_in_sequence(PyObject* seq, const char* name, Reserve&& reserve, Each&& each) {
    if (PyUnicode_Check(seq)) {
        // `Vec` names no type of this code: the text is the documented message, kept word for word.
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return prefix_argument_error(name);
    }
    if (!PySequence_Check(seq)) {
        set_cast_error(seq, name, "Sequence");
        return false;
    }
    const Py_ssize_t n = PySequence_Size(seq);
    if (n < 0) {
        PyErr_Clear();
    } else {
        // A hostile __len__ must not turn into a huge allocation.
        reserve(static_cast<std::size_t>(n < 4096 ? n : 4096));
    }
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) return prefix_argument_error(name);
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        if (!each(item.get())) return false;
    }
    return !PyErr_Occurred() || prefix_argument_error(name);
}

}  // namespace zub::py
