#include "arrays.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "datetime_conv.hpp"
#include "records.hpp"

namespace zub::batch {
namespace {

// The pending exception, normalised, as a new reference (the error
// indicator is cleared).
PyObject* take_exception() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
}

void restore_exception(PyObject* value) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
}

struct Numpy {
    PyObject* asarray = nullptr;
    PyObject* empty = nullptr;
    PyObject* datetime_data = nullptr;
    PyObject* int64 = nullptr;
    PyObject* ndarray = nullptr;
    PyObject* datetime64 = nullptr;  // the scalar type
    // dtypes
    PyObject* float64 = nullptr;
    PyObject* uint8 = nullptr;
};

Numpy np;

// New reference to attribute `name` of `o`, or nullptr.
PyObject* attr(PyObject* o, const char* name) { return PyObject_GetAttrString(o, name); }

// The one-letter kind of an array's dtype ('f', 'i', 'M', 'O', ...), or 0
// with an exception set.
char dtype_kind(PyObject* array) {
    PyObject* dtype = attr(array, "dtype");
    PyObject* kind = dtype ? attr(dtype, "kind") : nullptr;
    Py_XDECREF(dtype);
    if (kind == nullptr) return 0;
    const char* s = PyUnicode_AsUTF8AndSize(kind, nullptr);
    const char k = s != nullptr ? s[0] : 0;
    Py_DECREF(kind);
    return k;
}

// Whether an integer array's elements are in the machine's byte order and 1,
// 2, 4 or 8 bytes long, so that they can be read in place; false with an
// exception set when the dtype cannot be read.
bool native_integers(PyObject* array, bool& native) {
    PyObject* dtype = attr(array, "dtype");
    PyObject* isnative = dtype ? attr(dtype, "isnative") : nullptr;
    PyObject* itemsize = isnative ? attr(dtype, "itemsize") : nullptr;
    Py_XDECREF(dtype);
    const int in_order = itemsize != nullptr ? PyObject_IsTrue(isnative) : -1;
    const long bytes = in_order >= 0 ? PyLong_AsLong(itemsize) : -1;
    Py_XDECREF(isnative);
    Py_XDECREF(itemsize);
    if (in_order < 0 || (bytes == -1 && PyErr_Occurred())) return false;
    native = in_order == 1 && (bytes == 1 || bytes == 2 || bytes == 4 || bytes == 8);
    return true;
}

PyObject* dtype_str(PyObject* array) {
    PyObject* dtype = attr(array, "dtype");
    if (dtype == nullptr) return nullptr;
    PyObject* s = PyObject_Str(dtype);
    Py_DECREF(dtype);
    return s;
}

// np.asarray(o) or np.asarray(o, dtype=...): a new reference.
PyObject* as_array(PyObject* o, const char* name, const char* dtype = nullptr) {
    // The dtypes looked up at load, by the names used here.
    PyObject* known = dtype == nullptr                     ? nullptr
                      : std::strcmp(dtype, "float64") == 0 ? np.float64
                      : std::strcmp(dtype, "int64") == 0   ? np.int64
                                                           : nullptr;
    // (One vectorcall: the interpreter passes these arguments on the stack.)
    PyObject* r = dtype == nullptr || known != nullptr ? PyObject_CallFunctionObjArgs(np.asarray, o, known, nullptr)
                                                       : PyObject_CallFunction(np.asarray, "Os", o, dtype);
    if (r == nullptr && PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyObject* cause = take_exception();
        PyErr_Format(PyExc_TypeError, "argument '%s': cannot read as an array: %S", name, cause);
        Py_XDECREF(cause);
    }
    return r;
}

void wrong_dtype(const char* name, PyObject* array, const char* wanted) {
    PyObject* s = dtype_str(array);
    if (s == nullptr) return;
    PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got an array of dtype %U", name, wanted, s);
    Py_DECREF(s);
}

// Microseconds per tick of a datetime64 unit (mul), or ticks per
// microsecond (div) for finer units; false for units of varying length.
bool unit_scale(const char* unit, int64_t count, int64_t& mul, int64_t& div) {
    struct Unit {
        const char* name;
        int64_t mul, div;
    };
    static const Unit units[] = {
        {"W", 604'800'000'000, 1}, {"D", 86'400'000'000, 1}, {"h", 3'600'000'000, 1}, {"m", 60'000'000, 1},
        {"s", 1'000'000, 1},       {"ms", 1'000, 1},         {"us", 1, 1},           {"\xce\xbcs", 1, 1},
        {"ns", 1, 1'000},          {"ps", 1, 1'000'000},     {"fs", 1, 1'000'000'000},
        {"as", 1, 1'000'000'000'000},
        // A datetime64 array without a unit holds nothing but NaT.
        {"generic", 1, 1},
    };
    for (const Unit& u : units) {
        if (std::strcmp(unit, u.name) != 0) continue;
        if (u.div == 1) {
            if (__builtin_mul_overflow(u.mul, count, &mul)) return false;
            div = 1;
        } else {
            // count ticks of a sub-microsecond unit: a multiple of a
            // microsecond is read with mul, the rest with div.
            if (count % u.div == 0) {
                mul = count / u.div;
                div = 1;
            } else if (u.div % count == 0) {
                mul = 1;
                div = u.div / count;
            } else {
                return false;
            }
        }
        return true;
    }
    return false;
}

}  // namespace

bool load_numpy() {
    if (np.asarray != nullptr) return true;
    PyObject* mod = PyImport_ImportModule("numpy");
    if (mod == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_ImportError)) {
            PyObject* cause = take_exception();
            PyErr_SetString(PyExc_ImportError, "zub_batch needs numpy: install the optional group zub[batch]");
            PyObject* now = take_exception();
            PyException_SetCause(now, cause);
            restore_exception(now);
        }
        return false;
    }
    Numpy n;
    const auto dtype = [&](const char* name) -> PyObject* {
        const py::Ref type = py::Ref::steal(attr(mod, "dtype"));
        return type ? PyObject_CallFunction(type.get(), "s", name) : nullptr;
    };
    n.asarray = attr(mod, "asarray");
    n.empty = n.asarray ? attr(mod, "empty") : nullptr;
    n.datetime_data = n.empty ? attr(mod, "datetime_data") : nullptr;
    n.int64 = n.datetime_data ? dtype("int64") : nullptr;
    n.ndarray = n.int64 ? attr(mod, "ndarray") : nullptr;
    n.float64 = n.ndarray ? dtype("float64") : nullptr;
    n.uint8 = n.float64 ? dtype("uint8") : nullptr;
    n.datetime64 = n.uint8 ? attr(mod, "datetime64") : nullptr;
    Py_DECREF(mod);
    if (n.datetime64 == nullptr || !PyType_Check(n.ndarray) || !PyType_Check(n.datetime64)) {
        for (PyObject* o : {n.asarray, n.empty, n.datetime_data, n.int64, n.ndarray, n.float64, n.uint8, n.datetime64}) {
            Py_XDECREF(o);
        }
        return false;
    }
    np = n;
    return true;
}

bool Arguments::view(std::size_t col, PyObject* array, const char* name) {
    refs_.push_back(array);
    Py_buffer b;
    if (PyObject_GetBuffer(array, &b, PyBUF_STRIDES | PyBUF_FORMAT) < 0) return false;
    views_.push_back(b);
    Input& in = inputs_[col];
    in.name = name;
    in.data = static_cast<const char*>(b.buf);
    in.itemsize = b.itemsize;
    in.shape.assign(b.shape, b.shape + b.ndim);
    in.strides.assign(b.strides, b.strides + b.ndim);
    return true;
}

template <class T>
void Arguments::scalar(std::size_t col, T value, const char* name) {
    static_assert(sizeof(T) == 8);
    Input& in = inputs_[col];
    __builtin_memcpy(scalars_[col].data(), &value, sizeof(T));
    in.name = name;
    in.data = scalars_[col].data();
    in.itemsize = sizeof(T);
    in.scalar = true;
}

namespace {

// Whether a buffer format is one element of a struct code in `codes`, in the
// machine's byte order.
bool native_format(const char* format, const char* codes) {
    const char own_order = std::endian::native == std::endian::little ? '<' : '>';
    if (format == nullptr) return std::strchr(codes, 'B') != nullptr;  // no format: unsigned bytes
    if (*format == '@' || *format == '=' || *format == own_order) ++format;
    return format[0] != '\0' && format[1] == '\0' && std::strchr(codes, format[0]) != nullptr;
}

}  // namespace

// An array (of numpy's own type: a subclass's buffer may be Python code)
// whose elements are one of `formats` in the machine's order is read where
// it is, without a call into numpy; false, with no exception set, for
// anything else (converted by the caller).
bool Arguments::read_in_place(std::size_t col, PyObject* o, const char* name, const char* formats) {
    if (Py_TYPE(o) != reinterpret_cast<PyTypeObject*>(np.ndarray)) return false;
    Py_buffer b;
    if (PyObject_GetBuffer(o, &b, PyBUF_STRIDES | PyBUF_FORMAT) < 0) {
        PyErr_Clear();  // a dtype without a buffer format: converted by the caller
        return false;
    }
    if (!native_format(b.format, formats)) {
        PyBuffer_Release(&b);
        return false;
    }
    PyBuffer_Release(&b);
    return view(col, (Py_INCREF(o), o), name);
}

bool Arguments::add_float(std::size_t col, PyObject* o, const char* name) {
    if (PyFloat_CheckExact(o)) {
        scalar(col, PyFloat_AsDouble(o), name);
        return true;
    }
    if (read_in_place(col, o, name, "d")) return true;
    PyObject* a = as_array(o, name);
    if (a == nullptr) return false;
    const char k = dtype_kind(a);
    if (k != 'f' && k != 'i' && k != 'u') {
        if (k != 0) wrong_dtype(name, a, "real numbers");
        Py_DECREF(a);
        return false;
    }
    // asarray, not astype: an array that is float64 already is read in place.
    PyObject* f = as_array(a, name, "float64");
    Py_DECREF(a);
    return f != nullptr && view(col, f, name);
}

// The code of `o` when it is a member of the column's enumeration.
bool member_code(std::size_t col, PyObject* o, long& code) {
    if (col == kType) {
        OptionType t;
        if (!option_type_member(o, t)) return false;
        code = static_cast<long>(t);
    } else {
        ExerciseStyle s;
        if (!exercise_style_member(o, s)) return false;
        code = static_cast<long>(s);
    }
    return true;
}

// Enumeration members, alone or in a list or tuple, as their codes: a new
// reference.
PyObject* member_codes(std::size_t col, PyObject* o) {
    long code = 0;
    if (member_code(col, o, code)) return PyLong_FromLong(code);
    if (!PyList_Check(o) && !PyTuple_Check(o)) return (Py_INCREF(o), o);
    const Py_ssize_t n = PySequence_Size(o);
    PyObject* codes = PyList_New(n);
    for (Py_ssize_t i = 0; codes != nullptr && i < n; ++i) {
        PyObject* item = PySequence_GetItem(o, i);
        PyObject* c = item == nullptr ? nullptr : member_code(col, item, code) ? PyLong_FromLong(code) : (Py_INCREF(item), item);
        Py_XDECREF(item);
        if (c == nullptr) {
            Py_CLEAR(codes);
            break;
        }
        PyList_SetItem(codes, i, c);
    }
    return codes;
}

bool Arguments::stage(std::size_t col, PyObject* o, const char* name) {
    const bool is_array = PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(np.ndarray)) != 0;
    py::Ref staged;
    const bool is_datetime64 = PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(np.datetime64)) != 0;
    if (is_array || PyFloat_CheckExact(o) || (PyLong_CheckExact(o) && col != kExpiry) ||
        (is_datetime64 && col == kExpiry)) {
        // Read where it is by take_views: converting it now would make a view
        // that a hook resizing the array would leave dangling.
        staged = py::Ref::borrow(o);
    } else if (col == kExpiry) {
        PyObject* dt_type = py::datetime_type();
        const int single = dt_type != nullptr ? PyObject_IsInstance(o, dt_type) : -1;
        if (single < 0) return false;
        staged = single ? py::Ref::borrow(o) : py::Ref::steal(as_array(o, name));
    } else if (col == kType || col == kStyle) {
        const py::Ref codes = py::Ref::steal(member_codes(col, o));
        if (!codes) return false;
        staged = py::Ref::steal(as_array(codes.get(), name));
    } else {
        staged = py::Ref::steal(as_array(o, name));
    }
    if (!staged) return false;
    staged_[col] = {std::move(staged), name};
    return true;
}

bool Arguments::take_views() {
    // The expiry first: its datetimes' time zones are the last Python code.
    static constexpr Col kOrder[] = {kExpiry, kStrike, kType, kStyle, kSpot, kVol, kTarget};
    for (const Col col : kOrder) {
        const Staged& s = staged_[col];
        if (!s.object) continue;
        const bool ok = col == kExpiry                  ? add_expiry(s.object.get(), s.name)
                        : col == kType || col == kStyle ? add_code(col, s.object.get(), s.name)
                                                        : add_float(col, s.object.get(), s.name);
        if (!ok) return false;
    }
    return true;
}

bool Arguments::add_code(std::size_t col, PyObject* o, const char* name) {
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        const long long code = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow == 0 && !(code == -1 && PyErr_Occurred())) {
            scalar(col, static_cast<int64_t>(code), name);
            return true;
        }
        PyErr_Clear();  // converted below, as numpy converts a large int
    }
    if (read_in_place(col, o, name, "bBhHiIlLqQ?")) return true;
    PyObject* a = as_array(o, name);
    if (a == nullptr) return false;
    const char k = dtype_kind(a);
    if (k != 'i' && k != 'u' && k != 'b') {
        if (k != 0) wrong_dtype(name, a, "integer codes or enumeration members");
        Py_DECREF(a);
        return false;
    }
    // Codes in any native integer type are read in place (read_code); the
    // others, byte-swapped ones say, are converted first.
    bool native = false;
    if (!native_integers(a, native)) {
        Py_DECREF(a);
        return false;
    }
    if (native) return view(col, a, name);
    PyObject* i64 = as_array(a, name, "int64");
    Py_DECREF(a);
    return i64 != nullptr && view(col, i64, name);
}

namespace {

// The unit of the last datetime64 dtype read (a book's arrays share theirs),
// touched under the interpreter lock only; never destroyed, so that no
// reference is dropped after the interpreter has ended.
struct DatetimeUnit {
    py::Ref dtype;
    int64_t mul = 1;
    int64_t div = 1;
    bool swapped = false;  // ticks in the other byte order
};
DatetimeUnit& last_unit = *new DatetimeUnit();

// The unit of datetime64 dtype `dtype`; false with an exception set.
bool datetime_unit(PyObject* dtype, const char* name, DatetimeUnit& out) {
    // (A datetime64 scalar gives a new dtype object each time it is asked.)
    const int same = !last_unit.dtype                   ? 0
                     : dtype == last_unit.dtype.get() ? 1
                                                      : PyObject_RichCompareBool(dtype, last_unit.dtype.get(), Py_EQ);
    if (same < 0) return false;
    if (same == 1) {
        out = {py::Ref::borrow(dtype), last_unit.mul, last_unit.div, last_unit.swapped};
        return true;
    }
    const py::Ref data = py::Ref::steal(PyObject_CallFunctionObjArgs(np.datetime_data, dtype, nullptr));
    // The ticks are integers of the array's own byte order ('<' or '>', as
    // dtype.str begins).
    const py::Ref code = py::Ref::steal(data ? attr(dtype, "str") : nullptr);
    const char* text = code ? PyUnicode_AsUTF8AndSize(code.get(), nullptr) : nullptr;
    if (text == nullptr) return false;
    out.swapped = text[0] == (std::endian::native == std::endian::little ? '>' : '<');
    const char* unit = nullptr;
    long long count = 0;
    if (PyArg_ParseTuple(data.get(), "sL", &unit, &count) == 0) return false;
    if (unit_scale(unit, count, out.mul, out.div)) {
        out.dtype = py::Ref::borrow(dtype);
        last_unit = {py::Ref::borrow(dtype), out.mul, out.div, out.swapped};
        return true;
    }
    if (std::strcmp(unit, "Y") == 0 || std::strcmp(unit, "M") == 0) {
        PyErr_Format(PyExc_TypeError, "argument '%s': datetime64 unit '%s' has no fixed length; use days or finer",
                     name, unit);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "argument '%s': datetime64 unit '%lld%s' is not a whole number of microseconds or of "
                     "their parts, or is too long; use a plain unit such as 's' or 'ns'",
                     name, count, unit);
    }
    return false;
}

}  // namespace

bool Arguments::add_datetime64(py::Ref a, const char* name) {
    const py::Ref dtype = py::Ref::steal(attr(a.get(), "dtype"));
    DatetimeUnit unit;
    if (!dtype || !datetime_unit(dtype.get(), name, unit)) return false;
    micros_mul_ = unit.mul;
    micros_div_ = unit.div;
    // The ticks as int64 in the machine's order: a view when they are so.
    const char* other_order = std::endian::native == std::endian::little ? ">i8" : "<i8";
    py::Ref ticks = py::Ref::steal(unit.swapped ? PyObject_CallMethod(a.get(), "view", "s", other_order)
                                                : PyObject_CallMethod(a.get(), "view", "O", np.int64));
    if (ticks && unit.swapped) ticks = py::Ref::steal(as_array(ticks.get(), name, "int64"));
    return ticks && view(kExpiry, ticks.release(), name);
}

namespace {

// The last datetime64 scalar read, with its ticks and unit: calls often
// pass the same expiry object.  A scalar is immutable, and the reference
// kept here keeps its address from being reused.
struct LastScalar {
    py::Ref scalar;
    int64_t ticks = 0;
    int64_t mul = 1;
    int64_t div = 1;
};
LastScalar& last_scalar = *new LastScalar();

}  // namespace

// A datetime64 scalar exports its ticks, in the machine's order, as 8 bytes.
bool Arguments::add_datetime64_scalar(PyObject* o, const char* name) {
    if (o == last_scalar.scalar.get()) {
        micros_mul_ = last_scalar.mul;
        micros_div_ = last_scalar.div;
        scalar(kExpiry, last_scalar.ticks, name);
        return true;
    }
    const py::Ref dtype = py::Ref::steal(attr(o, "dtype"));
    DatetimeUnit unit;
    if (!dtype || !datetime_unit(dtype.get(), name, unit)) return false;
    Py_buffer b;
    if (PyObject_GetBuffer(o, &b, PyBUF_SIMPLE) < 0) return false;
    int64_t ticks = 0;
    const bool whole = b.len == sizeof ticks;
    if (whole) __builtin_memcpy(&ticks, b.buf, sizeof ticks);
    PyBuffer_Release(&b);
    if (!whole) {
        PyErr_Format(PyExc_TypeError, "argument '%s': a datetime64 value of %zd bytes", name, b.len);
        return false;
    }
    micros_mul_ = unit.mul;
    micros_div_ = unit.div;
    scalar(kExpiry, ticks, name);
    last_scalar = {py::Ref::borrow(o), ticks, unit.mul, unit.div};
    return true;
}

bool Arguments::add_expiry(PyObject* o, const char* name) {
    if (PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(np.datetime64)) != 0) {
        return add_datetime64_scalar(o, name);
    }
    PyObject* dt_type = py::datetime_type();
    if (dt_type == nullptr) return false;
    const int single = PyObject_IsInstance(o, dt_type);
    if (single < 0) return false;
    PyObject* a = single ? nullptr : as_array(o, name);
    if (!single && a == nullptr) return false;
    const char k = single ? 'O' : dtype_kind(a);
    if (k == 'M') return add_datetime64(py::Ref::steal(a), name);
    if (k != 'O') {
        if (k != 0) wrong_dtype(name, a, "datetime64 values or timezone-aware datetimes");
        Py_DECREF(a);
        return false;
    }
    // Datetime objects: converted now, each as the option constructor does.
    // The items in a list of our own: a time zone may resize the array.
    PyObject* flat = single ? nullptr : PyObject_CallMethod(a, "ravel", nullptr);
    PyObject* items = single ? Py_BuildValue("(O)", o) : flat != nullptr ? PySequence_List(flat) : nullptr;
    Py_XDECREF(flat);
    Input& in = inputs_[kExpiry];
    in.name = name;
    if (!single) {
        PyObject* shape = attr(a, "shape");
        Py_DECREF(a);
        if (shape == nullptr) {
            Py_XDECREF(items);
            return false;
        }
        const Py_ssize_t nd = PyTuple_Size(shape);
        for (Py_ssize_t d = 0; d < nd; ++d) in.shape.push_back(PyLong_AsSsize_t(PyTuple_GetItem(shape, d)));
        Py_DECREF(shape);
    }
    if (items == nullptr) return false;
    const Py_ssize_t n = PySequence_Size(items);
    converted_ = std::make_shared<std::vector<ConvertedExpiry>>(static_cast<std::size_t>(n < 0 ? 0 : n));
    bool ok = n >= 0;
    for (Py_ssize_t i = 0; ok && i < n; ++i) {
        PyObject* item = PySequence_GetItem(items, i);
        ok = item != nullptr;
        if (!ok) break;
        const int is_dt = PyObject_IsInstance(item, dt_type);
        if (is_dt <= 0) {
            PyObject* tn = is_dt == 0 ? PyType_GetName(Py_TYPE(item)) : nullptr;
            if (tn != nullptr) {
                PyErr_Format(PyExc_TypeError, "argument '%s': element %zd is a '%U', not a datetime", name, i, tn);
                Py_DECREF(tn);
            }
            Py_DECREF(item);
            ok = false;
            break;
        }
        ConvertedExpiry& cell = (*converted_)[static_cast<std::size_t>(i)];
        if (!py::aware_instant(item, py::Rounding::Truncate, expiry_problem_text(kExpiryNaive),
                               expiry_problem_text(kExpiryInvalid), cell.instant)) {
            // The constructor's two refusals become the element's status;
            // anything else the datetime raised ends the call.
            PyObject* exc = take_exception();
            PyObject* text = PyErr_GivenExceptionMatches(exc, PyExc_ValueError) ? PyObject_Str(exc) : nullptr;
            const char* s = text ? PyUnicode_AsUTF8AndSize(text, nullptr) : nullptr;
            if (s != nullptr && std::strcmp(s, expiry_problem_text(kExpiryNaive)) == 0) {
                cell.problem = kExpiryNaive;
            } else if (s != nullptr && std::strcmp(s, expiry_problem_text(kExpiryInvalid)) == 0) {
                cell.problem = kExpiryInvalid;
            }
            Py_XDECREF(text);
            if (cell.problem == kExpiryOk) {
                restore_exception(exc);
                ok = false;
            } else {
                Py_DECREF(exc);
                PyErr_Clear();
            }
        }
        Py_DECREF(item);
    }
    Py_DECREF(items);
    if (!ok) return false;
    in.data = reinterpret_cast<const char*>(converted_->data());
    in.itemsize = sizeof(ConvertedExpiry);
    in.strides.assign(in.shape.size(), 0);
    Py_ssize_t stride = sizeof(ConvertedExpiry);
    for (std::size_t d = in.shape.size(); d-- > 0;) {
        in.strides[d] = stride;
        stride *= in.shape[d];
    }
    return true;
}

bool Arguments::broadcast(Layout& layout) {
    std::size_t nd = 0;
    for (const Input& in : inputs_) {
        if (in.name != nullptr) nd = std::max(nd, in.shape.size());
    }
    if (nd > 64) {
        PyErr_SetString(PyExc_ValueError, "arrays of more than 64 dimensions are not supported");
        return false;
    }
    layout.shape.assign(nd, 1);
    for (const Input& in : inputs_) {
        if (in.name == nullptr) continue;
        const std::size_t lead = nd - in.shape.size();
        for (std::size_t d = 0; d < in.shape.size(); ++d) {
            Py_ssize_t& out = layout.shape[lead + d];
            if (in.shape[d] == out || in.shape[d] == 1) continue;
            if (out == 1) {
                out = in.shape[d];
                continue;
            }
            std::string msg = "arrays could not be broadcast together:";
            for (const Input& a : inputs_) {
                if (a.name == nullptr) continue;
                msg += std::string(" ") + a.name + " (";
                for (Py_ssize_t s : a.shape) msg += std::to_string(s) + ",";
                msg += ")";
            }
            PyErr_SetString(PyExc_ValueError, msg.c_str());
            return false;
        }
    }
    layout.strides.assign(nd, {});
    layout.size = 1;
    bool fits = true;
    for (Py_ssize_t s : layout.shape) {
        fits = !__builtin_mul_overflow(layout.size, static_cast<std::size_t>(s), &layout.size) && fits;
    }
    // An output holds 8 bytes an element, and numpy sizes arrays in bytes.
    if (layout.size != 0 && (!fits || layout.size > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(double))) {
        PyErr_SetString(PyExc_ValueError, "the arrays broadcast to more elements than an array can hold");
        return false;
    }
    for (std::size_t c = 0; c < kCols; ++c) {
        const Input& in = inputs_[c];
        layout.scalars[c] = scalars_[c];
        layout.base[c] = in.name == nullptr ? nullptr : in.scalar ? layout.scalars[c].data() : in.data;
        if (in.name == nullptr) continue;
        layout.code_bytes[c] = static_cast<uint8_t>(in.itemsize);
        const std::size_t lead = nd - in.shape.size();
        for (std::size_t d = 0; d < in.shape.size(); ++d) {
            layout.strides[lead + d][c] = in.shape[d] == 1 ? 0 : in.strides[d];
        }
    }
    layout.expiry_converted = converted_ != nullptr;
    layout.micros_mul = micros_mul_;
    layout.micros_div = micros_div_;
    return true;
}

const char* Arguments::overlapping(const char* begin, const char* end) const noexcept {
    for (const Input& in : inputs_) {
        if (in.name == nullptr || in.data == nullptr) continue;
        // The bytes the input's elements span, whatever the signs of its strides.
        auto lo = reinterpret_cast<uintptr_t>(in.data);
        auto hi = lo + static_cast<uintptr_t>(in.itemsize);
        bool empty = false;
        for (std::size_t d = 0; d < in.shape.size(); ++d) {
            empty = empty || in.shape[d] == 0;
            const Py_ssize_t span = (in.shape[d] - 1) * in.strides[d];
            if (span < 0) {
                lo -= static_cast<uintptr_t>(-span);
            } else {
                hi += static_cast<uintptr_t>(span);
            }
        }
        if (!empty && lo < reinterpret_cast<uintptr_t>(end) && reinterpret_cast<uintptr_t>(begin) < hi) return in.name;
    }
    return nullptr;
}

void Arguments::release() {
    staged_ = {};
    for (Py_buffer& b : views_) PyBuffer_Release(&b);
    views_.clear();
    for (PyObject* r : refs_) Py_DECREF(r);
    refs_.clear();
}

namespace {

std::string shape_text(const Py_ssize_t* shape, std::size_t nd) {
    std::string s = "(";
    for (std::size_t d = 0; d < nd; ++d) s += (d > 0 ? ", " : "") + std::to_string(shape[d]);
    return s + (nd == 1 ? ",)" : ")");
}

// TypeError: output `name` has the wrong element type (the array's dtype,
// else the buffer's format).
void wrong_output_type(const char* name, const char* wanted, PyObject* array, const char* format) {
    PyObject* got = PyObject_HasAttrString(array, "dtype") ? dtype_str(array) : nullptr;
    PyErr_Clear();
    if (got == nullptr) got = PyUnicode_FromFormat("buffer format '%s'", format != nullptr ? format : "B");
    if (got == nullptr) return;
    PyErr_Format(PyExc_TypeError, "output '%s' must be %s, got %U", name, wanted, got);
    Py_DECREF(got);
}

}  // namespace

bool GivenOutputs::collect(PyObject* out) {
    if (out == nullptr || out == Py_None) return true;
    items_ = py::Ref::steal(PyMapping_Items(out));
    if (items_) return true;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError) && !PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    const py::Ref tn = py::Ref::steal(PyType_GetName(Py_TYPE(out)));
    if (tn) PyErr_Format(PyExc_TypeError, "out must be a mapping from output names to arrays, got '%U'", tn.get());
    return false;
}

bool GivenOutputs::read(const char* const* names, int doubles, const Layout& layout, const Arguments& inputs) {
    if (!items_) return true;
    PyObject* items = items_.get();
    // Every view is kept from the moment it is taken, so that release()
    // gives it back whatever fails later.
    given_.reserve(static_cast<std::size_t>(doubles) + 1);
    bool ok = true;
    const Py_ssize_t n = PyList_Size(items);
    for (Py_ssize_t i = 0; ok && i < n; ++i) {
        PyObject* item = PyList_GetItem(items, i);
        PyObject* key = PyTuple_Check(item) && PyTuple_Size(item) == 2 ? PyTuple_GetItem(item, 0) : nullptr;
        if (key == nullptr || !PyUnicode_Check(key)) {
            PyErr_SetString(PyExc_TypeError, "out must map output names (str) to arrays");
            ok = false;
            break;
        }
        int k = 0;
        while (k < doubles && PyUnicode_CompareWithASCIIString(key, names[k]) != 0) ++k;
        if (k == doubles && PyUnicode_CompareWithASCIIString(key, "status") != 0) {
            std::string known;
            for (int j = 0; j < doubles; ++j) known += std::string(names[j]) + ", ";
            PyErr_Format(PyExc_ValueError, "unknown output %R: expected one of %sstatus", key, known.c_str());
            ok = false;
            break;
        }
        ok = add(k, k < doubles ? names[k] : "status", k == doubles, PyTuple_GetItem(item, 1), layout, inputs);
    }
    return ok;
}

bool GivenOutputs::add(int k, const char* name, bool status, PyObject* array, const Layout& layout,
                       const Arguments& inputs) {
    const char* wanted = status ? "uint8" : "float64";
    void* data = nullptr;
    if (this->array(k, data) != nullptr) {  // a mapping whose items repeat a name
        PyErr_Format(PyExc_ValueError, "output '%s' is given twice", name);
        return false;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(array, &view, PyBUF_RECORDS_RO) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) return false;
        PyErr_Clear();
        // An array of an element type that has no buffer format, or no array.
        PyObject* tn = PyObject_HasAttrString(array, "dtype") ? nullptr : PyType_GetName(Py_TYPE(array));
        if (tn == nullptr) {
            wrong_output_type(name, wanted, array, nullptr);
        } else {
            PyErr_Format(PyExc_TypeError, "output '%s' must be a writable %s array, got '%U'", name, wanted, tn);
            Py_DECREF(tn);
        }
        return false;
    }
    Py_INCREF(array);
    given_.push_back({k, name, array, view});
    const std::size_t nd = layout.shape.size();
    if (view.readonly) {
        PyErr_Format(PyExc_ValueError, "output '%s' is read-only", name);
    } else if (!native_format(view.format, status ? "B" : "d")) {
        wrong_output_type(name, wanted, array, view.format);
    } else if (static_cast<std::size_t>(view.ndim) != nd ||
               !std::equal(layout.shape.begin(), layout.shape.end(), view.shape)) {
        PyErr_Format(PyExc_ValueError, "output '%s' has shape %s, expected %s", name,
                     shape_text(view.shape, static_cast<std::size_t>(view.ndim)).c_str(),
                     shape_text(layout.shape.data(), nd).c_str());
    } else if (!PyBuffer_IsContiguous(&view, 'C')) {
        PyErr_Format(PyExc_ValueError, "output '%s' is not C-contiguous", name);
    } else if (reinterpret_cast<uintptr_t>(view.buf) % static_cast<uintptr_t>(view.itemsize) != 0) {
        PyErr_Format(PyExc_ValueError, "output '%s' is not aligned to its %zd-byte elements", name, view.itemsize);
    } else {
        // Elements are read in blocks, and on several threads, before their
        // outputs are written: no output may share memory with what is read
        // or with another output.
        const char* begin = static_cast<const char*>(view.buf);
        const char* end = begin + view.len;
        if (const char* input = inputs.overlapping(begin, end)) {
            PyErr_Format(PyExc_ValueError, "output '%s' overlaps the memory of input '%s'", name, input);
            return false;
        }
        for (std::size_t j = 0; j + 1 < given_.size(); ++j) {
            const Py_buffer& other = given_[j].view;
            const char* o = static_cast<const char*>(other.buf);
            if (view.len > 0 && other.len > 0 && begin < o + other.len && o < end) {
                PyErr_Format(PyExc_ValueError, "output '%s' overlaps the memory of output '%s'", name, given_[j].name);
                return false;
            }
        }
        return true;
    }
    return false;
}

PyObject* GivenOutputs::array(int k, void*& data) const noexcept {
    for (const Given& g : given_) {
        if (g.k == k) {
            data = g.view.buf;
            return g.array;
        }
    }
    return nullptr;
}

void GivenOutputs::release() {
    items_ = py::Ref();
    for (Given& g : given_) {
        PyBuffer_Release(&g.view);
        Py_DECREF(g.array);
    }
    given_.clear();
}

namespace {

// A block of output memory exported as a writable buffer.
struct Block {
    PyObject_HEAD
    char* data;
    Py_ssize_t size;
};

// Blocks kept for reuse, touched only under the interpreter lock: at most
// sixteen (two calls' outputs), of 256 MiB together, the oldest given up
// first.
struct Spare {
    char* data;
    Py_ssize_t size;
};
constexpr std::size_t kSpareBlocks = 16;
constexpr Py_ssize_t kSpareBytes = Py_ssize_t{1} << 28;
Py_ssize_t spare_bytes = 0;
// Never destroyed, so that the blocks it keeps stay reachable after the
// destructors run at exit.
std::vector<Spare>& spares = *new std::vector<Spare>();
PyTypeObject* block_type = nullptr;

// Memory for `size` bytes: a kept block that is not much larger, else new
// from the interpreter's allocator (called, like give_back, under the
// interpreter lock): arrays still alive at exit hold its blocks as the
// interpreter's own objects hold theirs.
Spare take_memory(Py_ssize_t size) {
    for (auto it = spares.begin(); it != spares.end(); ++it) {
        if (it->size >= size && it->size / 2 <= size) {
            const Spare s = *it;
            spares.erase(it);
            spare_bytes -= s.size;
            return s;
        }
    }
    return {static_cast<char*>(PyMem_Malloc(static_cast<std::size_t>(size))), size};
}

void give_back(Spare s) {
    if (s.size > kSpareBytes) {
        PyMem_Free(s.data);
        return;
    }
    while (!spares.empty() && (spares.size() == kSpareBlocks || spare_bytes + s.size > kSpareBytes)) {
        spare_bytes -= spares.front().size;
        PyMem_Free(spares.front().data);
        spares.erase(spares.begin());
    }
    spares.push_back(s);
    spare_bytes += s.size;
}

int block_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* b = reinterpret_cast<Block*>(self);
    return PyBuffer_FillInfo(view, self, b->data, b->size, 0, flags);
}

void block_dealloc(PyObject* self) {
    auto* b = reinterpret_cast<Block*>(self);
    if (b->data != nullptr) give_back({b->data, b->size});
    PyTypeObject* tp = Py_TYPE(self);
    auto* free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
    free_fn(self);
    Py_DECREF(tp);
}

PyTypeObject* get_block_type() {
    if (block_type != nullptr) return block_type;
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(block_dealloc)},
        {Py_bf_getbuffer, reinterpret_cast<void*>(block_getbuffer)},
        {0, nullptr},
    };
    static PyType_Spec spec = {"zub_batch._OutputMemory", sizeof(Block), 0, Py_TPFLAGS_DEFAULT, slots};
    block_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    return block_type;
}

// Outputs of this size or more are made over a block of their own, whose
// memory returns to the spares when the array is dropped: a large result
// would otherwise fault in new pages on every call.
constexpr Py_ssize_t kRecycledBytes = Py_ssize_t{1} << 17;

}  // namespace

PyObject* new_output(PyObject* shape, std::size_t count, bool status, void*& data) {
    PyObject* dtype = status ? np.uint8 : np.float64;
    const auto bytes = static_cast<Py_ssize_t>(count * (status ? 1 : sizeof(double)));
    if (bytes >= kRecycledBytes) {
        PyTypeObject* tp = get_block_type();
        const py::Ref block = py::Ref::steal(tp != nullptr ? reinterpret_cast<PyObject*>(PyObject_New(Block, tp)) : nullptr);
        if (!block) return nullptr;
        auto* b = reinterpret_cast<Block*>(block.get());
        const Spare m = take_memory(bytes);
        b->data = m.data;
        b->size = m.data != nullptr ? m.size : 0;
        if (m.data == nullptr) return PyErr_NoMemory();
        data = m.data;
        return PyObject_CallFunctionObjArgs(np.ndarray, shape, dtype, block.get(), nullptr);
    }
    // One vectorcall: the interpreter passes these arguments on the stack.
    py::Ref a = py::Ref::steal(PyObject_CallFunctionObjArgs(np.empty, shape, dtype, nullptr));
    Py_buffer view;
    if (!a || PyObject_GetBuffer(a.get(), &view, PyBUF_WRITABLE) < 0) return nullptr;
    data = view.buf;  // the array keeps its memory for as long as it lives
    PyBuffer_Release(&view);
    return a.release();
}

}  // namespace zub::batch
