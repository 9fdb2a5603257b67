#include "boundary.hpp"

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace zub::py {

namespace {

// str() of `o`, or nullptr with no exception pending when that fails.
PyObject* text_of(PyObject* o) {
    PyObject* text = PyObject_Str(o);
    if (text == nullptr) PyErr_Clear();
    return text;
}

void append_quoted_list(std::string& msg, const char* const* names, const int* idx, int n) {
    for (int i = 0; i < n; ++i) {
        if (i > 0) {
            if (n > 2) msg += ',';
            msg += (i == n - 1) ? " and " : " ";
        }
        msg += '\'';
        msg += names[idx[i]];
        msg += '\'';
    }
}

void too_many_positional(const Signature& sig, Py_ssize_t given) {
    const char* was = given == 1 ? "was" : "were";
    if (sig.required != sig.count) {
        PyErr_Format(PyExc_TypeError, "%s() takes from %d to %d positional arguments but %zd %s given", sig.qualname,
                     sig.required, sig.count, given, was);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes %d positional arguments but %zd %s given", sig.qualname, sig.count,
                     given, was);
    }
}

int find_param(const Signature& sig, PyObject* key) {
    if (!PyUnicode_Check(key)) return -1;
    for (int i = 0; i < sig.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) return i;
    }
    return -1;
}

bool place_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
    const int i = find_param(sig, key);
    if (i < 0) {
        // A keyword is a str, possibly of a subclass whose __str__ misbehaves.
        PyObject* text = text_of(key);
        if (text == nullptr) text = PyUnicode_Check(key) ? PyUnicode_FromObject(key) : PyUnicode_FromString("?");
        if (text == nullptr) return false;
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.qualname, text);
        Py_DECREF(text);
        return false;
    }
    if (out[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.qualname, sig.names[i]);
        return false;
    }
    out[i] = value;
    return true;
}

bool check_missing(const Signature& sig, PyObject** out) {
    int missing[16];
    int n = 0;
    for (int i = 0; i < sig.required && n < 16; ++i) {
        if (out[i] == nullptr) missing[n++] = i;
    }
    if (n == 0) return true;
    std::string msg = sig.qualname;
    msg += "() missing ";
    msg += std::to_string(n);
    msg += n == 1 ? " required positional argument: " : " required positional arguments: ";
    append_quoted_list(msg, sig.names, missing, n);
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    return false;
}


}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    if (nargs > sig.count) {
        too_many_positional(sig, nargs);
        return false;
    }
    for (int i = 0; i < sig.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!place_keyword(sig, PyTuple_GetItem(kwnames, k), args[nargs + k], out)) return false;
        }
    }
    return check_missing(sig, out);
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = args != nullptr ? PyTuple_Size(args) : 0;
    if (nargs > sig.count) {
        too_many_positional(sig, nargs);
        return false;
    }
    for (int i = 0; i < sig.count; ++i) out[i] = i < nargs ? PyTuple_GetItem(args, i) : nullptr;
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!place_keyword(sig, key, value, out)) return false;
        }
    }
    return check_missing(sig, out);
}

void prefix_argument_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyObject* text = value != nullptr ? PyObject_Str(value) : nullptr;
    PyObject* cause = value != nullptr ? PyException_GetCause(value) : nullptr;
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    if (text == nullptr) {
        Py_XDECREF(cause);
        return;  // str() itself failed: its error is now pending
    }
    PyObject* msg = PyUnicode_FromFormat("argument '%s': %U", name, text);
    Py_DECREF(text);
    if (msg == nullptr) {
        Py_XDECREF(cause);
        return;
    }
    PyObject* exc = PyObject_CallFunctionObjArgs(PyExc_TypeError, msg, nullptr);
    Py_DECREF(msg);
    if (exc == nullptr) {
        Py_XDECREF(cause);
        return;
    }
    if (cause != nullptr) PyException_SetCause(exc, cause);  // steals cause
    PyErr_SetObject(PyExc_TypeError, exc);
    Py_DECREF(exc);
}

bool to_double(PyObject* o, const char* name, double& out) {
    out = PyFloat_AsDouble(o);
    if (out == -1.0 && PyErr_Occurred()) {
        prefix_argument_error(name);
        return false;
    }
    return true;
}

bool to_i32(PyObject* o, const char* name, int32_t& out) {
    const long v = PyLong_AsLong(o);
    if (v == -1 && PyErr_Occurred()) {
        prefix_argument_error(name);
        return false;
    }
    if (v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<int32_t>(v);
    return true;
}

bool to_u64(PyObject* o, const char* name, uint64_t& out) {
    PyObject* idx = PyNumber_Index(o);
    if (idx == nullptr) {
        prefix_argument_error(name);
        return false;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(idx);
    Py_DECREF(idx);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        prefix_argument_error(name);
        return false;
    }
    out = static_cast<uint64_t>(v);
    return true;
}

PyObject* type_text(PyTypeObject* type, const char* attr) {
    // The attribute is read through the metaclass, so it may be anything:
    // bytes, an int, an object whose __str__ raises.
    PyObject* value = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), attr);
    PyObject* text = nullptr;
    if (value != nullptr) {
        text = text_of(value);
        Py_DECREF(value);
    } else {
        PyErr_Clear();
    }
    if (text != nullptr) return text;
    // The type's own record, which no Python code can rebind.  Every class
    // of this module is created in "builtins".
    if (std::strcmp(attr, "__module__") == 0) return PyUnicode_FromString("builtins");
    return PyType_GetQualName(type);
}

void set_cast_error(PyObject* o, const char* target) {
    PyObject* tn = type_text(Py_TYPE(o), "__qualname__");
    if (tn == nullptr) return;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%s'", tn, target);
    Py_DECREF(tn);
}

void set_arg_cast_error(PyObject* o, const char* name, const char* target) {
    set_cast_error(o, target);
    prefix_argument_error(name);
}

PyObject* panic_type() {
    // Created on first use and kept for the life of the process.  Creating a
    // class may run a garbage collection whose finalizers let other threads
    // in, so no lock may be held meanwhile (a thread waiting on one would keep
    // the interpreter lock and hang the process); the first type stored wins.
    static PyObject* type = nullptr;
    if (type != nullptr) return type;
    PyObject* made = PyErr_NewExceptionWithDoc(
        "zub_runtime.PanicException",
        "The exception raised when the native pricing core fails internally.\n\n"
        "Like SystemExit, this exception is derived from BaseException so that\n"
        "it will typically propagate all the way through the stack and cause the\n"
        "Python interpreter to exit.",
        PyExc_BaseException, nullptr);
    if (made == nullptr) return nullptr;
    if (type == nullptr) {
        type = made;
    } else {
        Py_DECREF(made);
    }
    return type;
}

void raise_panic(const char* message) {
    PyObject* type = panic_type();
    if (type == nullptr) return;  // creating the type failed; its error is pending
    PyErr_SetString(type, message != nullptr ? message : "the pricing core failed internally");
}

void raise_error(const zub::Error& e) {
    switch (e.kind) {
        case zub::ErrorKind::Value:
            PyErr_SetString(PyExc_ValueError, e.message.c_str());
            return;
        case zub::ErrorKind::Type:
            PyErr_SetString(PyExc_TypeError, e.message.c_str());
            return;
        case zub::ErrorKind::Panic:
            raise_panic(e.message.c_str());
            return;
        case zub::ErrorKind::Cancelled:
            if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
            return;
    }
}

}  // namespace zub::py

// Exported by every CPython since 3.4, though declared outside the limited
// headers; nothing in the limited interface answers the same question.
extern "C" int PyGILState_Check(void);

namespace zub::py {

void release_owned(PyObject* o) {
    if (o != nullptr && PyGILState_Check()) Py_DECREF(o);
}

zub::CancelCheck signal_check() {
    return zub::CancelCheck{[](void*) { return PyErr_CheckSignals() != 0; }, nullptr};
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* mod = type_text(type, "__module__");
    PyObject* name = mod != nullptr ? type_text(type, "__qualname__") : nullptr;
    if (name != nullptr) PyErr_Format(PyExc_TypeError, "cannot create '%U.%U' instances", mod, name);
    Py_XDECREF(mod);
    Py_XDECREF(name);
    return nullptr;
}

PyTypeObject* make_type(PyType_Spec* spec) {
    // Immutable, as the interpreter's own types: no attribute of the class
    // (its __module__, its members) can be rebound or deleted.
    PyType_Spec immutable = *spec;
    immutable.flags |= Py_TPFLAGS_IMMUTABLETYPE;
    PyObject* t = PyType_FromSpec(&immutable);
    // The interpreter can fail without saying why when memory runs out
    // while it copies the class's docstring.
    if (t == nullptr && !PyErr_Occurred()) PyErr_NoMemory();
    return reinterpret_cast<PyTypeObject*>(t);
}

namespace {
std::vector<PyTypeObject**> made_types;
}  // namespace

std::size_t types_made() { return made_types.size(); }

void record_type(PyTypeObject** slot) { made_types.push_back(slot); }

void withdraw_types_since(std::size_t keep) {
    while (made_types.size() > keep) {
        PyTypeObject** slot = made_types.back();
        made_types.pop_back();
        PyTypeObject* t = *slot;
        *slot = nullptr;
        Py_XDECREF(reinterpret_cast<PyObject*>(t));
    }
}

bool add_class_attr(PyTypeObject* type, const char* name, PyObject* value) {
    if (value == nullptr) return false;
    // Setting an attribute of an immutable type is refused, so the member
    // goes into the type's dictionary itself, while the type is made.
    PyObject* dict = PyObject_GenericGetDict(reinterpret_cast<PyObject*>(type), nullptr);
    const int rc = dict != nullptr ? PyDict_SetItemString(dict, name, value) : -1;
    Py_XDECREF(dict);
    Py_DECREF(value);
    if (rc == 0) PyType_Modified(type);
    return rc == 0;
}

PyObject* new_str(const std::string& s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

bool refuse_delete(PyObject* value) {
    if (value != nullptr) return false;
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return true;
}

}  // namespace zub::py
