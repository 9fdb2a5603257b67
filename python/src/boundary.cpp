#include "declare.hpp"

#include <climits>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
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
        Ref text = Ref::steal(text_of(key));
        if (!text) text = Ref::steal(PyUnicode_Check(key) ? PyUnicode_FromObject(key) : PyUnicode_FromString("?"));
        if (text) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.qualname, text.get());
        }
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

// The positional arguments, `positional(i)`, then the keywords, which
// `keyword(key, value)` yields one by one until it returns false.
template <class Positional, class Keyword>
bool bind_each(const Signature& sig, Py_ssize_t nargs, Positional&& positional, Keyword&& keyword, PyObject** out) {
    if (nargs > sig.count) {
        too_many_positional(sig, nargs);
        return false;
    }
    for (int i = 0; i < sig.count; ++i) out[i] = i < nargs ? positional(i) : nullptr;
    PyObject* key;
    PyObject* value;
    while (keyword(key, value)) {
        if (!place_keyword(sig, key, value, out)) return false;
    }
    return check_missing(sig, out);
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
    Py_ssize_t k = 0;
    return bind_each(
        sig, nargs, [&](int i) { return args[i]; },
        [&](PyObject*& key, PyObject*& value) {
            if (k == nkw) return false;
            key = PyTuple_GetItem(kwnames, k);
            value = args[nargs + k++];
            return true;
        },
        out);
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    Py_ssize_t pos = 0;
    return bind_each(
        sig, args != nullptr ? PyTuple_Size(args) : 0, [&](int i) { return PyTuple_GetItem(args, i); },
        [&](PyObject*& key, PyObject*& value) { return kwargs != nullptr && PyDict_Next(kwargs, &pos, &key, &value); },
        out);
}

namespace {

// Tables and texts that classes point to live as long as the classes, that
// is for good.
template <class T, class Items>
T* keep(const Items& items) {
    static auto* kept = new std::deque<std::vector<T>>;
    auto& v = kept->emplace_back(items.begin(), items.end());
    v.push_back(T{});
    return v.data();
}

}  // namespace

const char* text_signature(const Signature& sig, bool self, const char* doc) {
    const std::string_view qual = sig.qualname;
    const std::size_t dot = qual.find('.');
    std::string text(qual.substr(0, dot) == qual || qual.substr(dot + 1) != "__new__" ? qual.substr(dot + 1)
                                                                                      : qual.substr(0, dot));
    text += self ? "($self" : "(";
    for (int i = 0; i < sig.count; ++i) {
        if (self || i > 0) text += ", ";
        text += sig.names[i];
        if (i >= sig.required) {
            text += '=';
            text += sig.defaults != nullptr && sig.defaults[i] != nullptr ? sig.defaults[i] : "None";
        }
    }
    text += ")\n--\n\n";
    if (doc != nullptr) text += doc;
    return keep<char>(text);
}

bool prefix_argument_error(const char* name) {
    if (name == nullptr || !PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    const Ref owned[] = {Ref::steal(type), Ref::steal(value), Ref::steal(tb)};
    Ref text = Ref::steal(value != nullptr ? PyObject_Str(value) : nullptr);
    if (!text) return false;  // str() itself failed: its error is now pending
    Ref cause = Ref::steal(PyException_GetCause(value));
    Ref msg = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    Ref exc = Ref::steal(msg ? PyObject_CallFunctionObjArgs(PyExc_TypeError, msg.get(), nullptr) : nullptr);
    if (!exc) return false;
    if (cause) PyException_SetCause(exc.get(), cause.release());
    PyErr_SetObject(PyExc_TypeError, exc.get());
    return false;
}

bool to_double(PyObject* o, const char* name, double& out) {
    out = PyFloat_AsDouble(o);
    return !(out == -1.0 && PyErr_Occurred()) || prefix_argument_error(name);
}

bool to_i32(PyObject* o, const char* name, int32_t& out) {
    const long v = PyLong_AsLong(o);
    if (v == -1 && PyErr_Occurred()) return prefix_argument_error(name);
    if (v < INT32_MIN || v > INT32_MAX) {
        return fail(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    out = static_cast<int32_t>(v);
    return true;
}

bool to_u64(PyObject* o, const char* name, uint64_t& out) {
    Ref idx = Ref::steal(PyNumber_Index(o));
    if (!idx) return prefix_argument_error(name);
    const unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return prefix_argument_error(name);
    out = static_cast<uint64_t>(v);
    return true;
}

PyObject* type_text(PyTypeObject* type, const char* attr) {
    // The attribute is read through the metaclass, so it may be anything:
    // bytes, an int, an object whose __str__ raises.
    Ref value = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), attr));
    if (!value) PyErr_Clear();
    Ref text = Ref::steal(value ? text_of(value.get()) : nullptr);
    if (text) return text.release();
    // The type's own record, which no Python code can rebind.  Every class
    // of this module is created in "builtins".
    if (std::strcmp(attr, "__module__") == 0) return PyUnicode_FromString("builtins");
    return PyType_GetQualName(type);
}

void set_cast_error(PyObject* o, const char* name, const char* target) {
    Ref tn = Ref::steal(type_text(Py_TYPE(o), "__qualname__"));
    if (!tn) return;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%s'", tn.get(), target);
    prefix_argument_error(name);
}

void set_cast_error(PyObject* o, const char* name, PyTypeObject* target) {
    Ref text = Ref::steal(type_text(target, "__qualname__"));
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
    if (utf8 != nullptr) set_cast_error(o, name, utf8);
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
    Ref owned = Ref::steal(made);
    if (!owned) return nullptr;
    if (type == nullptr) type = owned.release();
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

zub::CancelCheck signal_check() {
    return zub::CancelCheck{[](void*) { return PyErr_CheckSignals() != 0; }, nullptr};
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    Ref mod = Ref::steal(type_text(type, "__module__"));
    Ref name = Ref::steal(mod ? type_text(type, "__qualname__") : nullptr);
    if (name) PyErr_Format(PyExc_TypeError, "cannot create '%U.%U' instances", mod.get(), name.get());
    return nullptr;
}

void free_box(PyObject* o) {
    // The instance holds a reference to its class, dropped after the memory.
    Ref type = Ref::steal(reinterpret_cast<PyObject*>(Py_TYPE(o)));
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(Py_TYPE(o), Py_tp_free));
    free_fn(o);
}

PyTypeObject* make_type(const ClassSpec& spec, int size, destructor dealloc) {
    PyType_Slot slots[8] = {{Py_tp_new, reinterpret_cast<void*>(spec.init.fn)}};
    int n = 1;
    const auto add = [&](int slot, void* p) {
        if (p != nullptr) slots[n++] = {slot, p};
    };
    add(Py_tp_dealloc, reinterpret_cast<void*>(dealloc));
    add(Py_tp_methods, spec.methods.size() != 0 ? keep<PyMethodDef>(spec.methods) : nullptr);
    add(Py_tp_getset, spec.getset.size() != 0 ? keep<PyGetSetDef>(spec.getset) : nullptr);
    add(Py_tp_repr, reinterpret_cast<void*>(spec.repr));
    add(Py_nb_int, reinterpret_cast<void*>(spec.as_int));
    add(Py_tp_doc, const_cast<char*>(spec.init.doc));
    // Immutable, as the interpreter's own types: no attribute of the class
    // (its __module__, its members) can be rebound or deleted.
    PyType_Spec type_spec = {spec.name, size, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    PyObject* t = PyType_FromSpec(&type_spec);
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
        Ref withdrawn = Ref::steal(reinterpret_cast<PyObject*>(std::exchange(*made_types.back(), nullptr)));
        made_types.pop_back();
    }
}

bool add_class_attr(PyTypeObject* type, const char* name, Ref value) {
    // Setting an attribute of an immutable type is refused, so the member
    // goes into the type's dictionary itself, while the type is made.
    Ref dict = Ref::steal(value ? PyObject_GenericGetDict(reinterpret_cast<PyObject*>(type), nullptr) : nullptr);
    if (!dict || PyDict_SetItemString(dict.get(), name, value.get()) != 0) return false;
    PyType_Modified(type);
    return true;
}

}  // namespace zub::py
