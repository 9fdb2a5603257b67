#include "arrays.hpp"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "datetime_conv.hpp"
#include "records.hpp"

namespace zub::batch {

using py::Ref;

namespace {

// The pending exception, normalised (the error indicator is cleared).
Ref take_exception() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    const Ref owned_type = Ref::steal(type), owned_tb = Ref::steal(tb);
    if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
    return Ref::steal(value);
}

// Raises `value` again.
void restore_exception(Ref value) {
    Ref type = Ref::borrow(Py_TYPE(value.get()));
    PyObject* tb = PyException_GetTraceback(value.get());  // a new reference, handed on
    PyErr_Restore(type.release(), value.release(), tb);
}

Ref attr(PyObject* o, const char* name) { return Ref::steal(PyObject_GetAttrString(o, name)); }

// The one-letter kind of an array's dtype ('f', 'i', 'M', 'O', ...), or 0
// with an exception set.
char dtype_kind(PyObject* array) {
    const Ref dtype = attr(array, "dtype");
    const Ref kind = dtype ? attr(dtype.get(), "kind") : Ref();
    const char* s = kind ? PyUnicode_AsUTF8AndSize(kind.get(), nullptr) : nullptr;
    return s != nullptr ? s[0] : 0;
}

// Whether an integer array's elements are in the machine's byte order and 1,
// 2, 4 or 8 bytes long, so that they can be read in place; false with an
// exception set when the dtype cannot be read.
bool native_integers(PyObject* array, bool& native) {
    const Ref dtype = attr(array, "dtype");
    const Ref isnative = dtype ? attr(dtype.get(), "isnative") : Ref();
    const Ref itemsize = isnative ? attr(dtype.get(), "itemsize") : Ref();
    const int in_order = itemsize ? PyObject_IsTrue(isnative.get()) : -1;
    const long bytes = in_order >= 0 ? PyLong_AsLong(itemsize.get()) : -1;
    if (in_order < 0 || (bytes == -1 && PyErr_Occurred())) return false;
    native = in_order == 1 && (bytes == 1 || bytes == 2 || bytes == 4 || bytes == 8);
    return true;
}

// np.asarray(o) or np.asarray(o, dtype) for one of the dtypes looked up at
// load.
Ref as_array(PyObject* o, const char* name, PyObject* dtype = nullptr) {
    // (One vectorcall: the interpreter passes these arguments on the stack.)
    Ref r = Ref::steal(PyObject_CallFunctionObjArgs(np.asarray.get(), o, dtype, nullptr));
    if (!r && PyErr_ExceptionMatches(PyExc_ValueError)) {
        const Ref cause = take_exception();
        PyErr_Format(PyExc_TypeError, "argument '%s': cannot read as an array: %S", name, cause.get());
    }
    return r;
}

void wrong_dtype(const char* name, PyObject* array, const char* wanted) {
    const Ref dtype = attr(array, "dtype");
    const Ref s = dtype ? Ref::steal(PyObject_Str(dtype.get())) : Ref();
    if (s) PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got an array of dtype %U", name, wanted, s.get());
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

Numpy& np = *new Numpy();

bool load_numpy() {
    if (np.uint8) return true;
    Numpy n;
    n.module = Ref::steal(PyImport_ImportModule("numpy"));
    if (!n.module) {
        if (PyErr_ExceptionMatches(PyExc_ImportError)) {
            Ref cause = take_exception();
            PyErr_SetString(PyExc_ImportError, "zub_batch needs numpy: install the optional group zub[batch]");
            const Ref now = take_exception();
            PyException_SetCause(now.get(), cause.release());
            restore_exception(Ref::borrow(now.get()));
        }
        return false;
    }
    PyObject* mod = n.module.get();
    const Ref dtype_type = attr(mod, "dtype");
    const auto dtype = [&](const char* name) {
        return dtype_type ? Ref::steal(PyObject_CallFunction(dtype_type.get(), "s", name)) : Ref();
    };
    n.asarray = attr(mod, "asarray");
    n.empty = n.asarray ? attr(mod, "empty") : Ref();
    n.datetime_data = n.empty ? attr(mod, "datetime_data") : Ref();
    n.ndarray = n.datetime_data ? attr(mod, "ndarray") : Ref();
    n.datetime64 = n.ndarray ? attr(mod, "datetime64") : Ref();
    n.int64 = n.datetime64 ? dtype("int64") : Ref();
    n.float64 = n.int64 ? dtype("float64") : Ref();
    n.uint8 = n.float64 ? dtype("uint8") : Ref();
    if (!n.uint8 || !PyType_Check(n.ndarray.get()) || !PyType_Check(n.datetime64.get())) return false;
    np = std::move(n);
    return true;
}

bool Arguments::view(std::size_t col, Ref array, const char* name) {
    PyObject* a = refs_.emplace_back(std::move(array)).get();
    Py_buffer b;
    if (PyObject_GetBuffer(a, &b, PyBUF_STRIDES | PyBUF_FORMAT) < 0) return false;
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

bool native_format(const char* format, const char* codes) {
    const char own_order = std::endian::native == std::endian::little ? '<' : '>';
    if (format == nullptr) return std::strchr(codes, 'B') != nullptr;  // no format: unsigned bytes
    if (*format == '@' || *format == '=' || *format == own_order) ++format;
    return format[0] != '\0' && format[1] == '\0' && std::strchr(codes, format[0]) != nullptr;
}


// An array (of numpy's own type: a subclass's buffer may be Python code)
// whose elements are one of `formats` in the machine's order is read where
// it is, without a call into numpy; false, with no exception set, for
// anything else (converted by the caller).
bool Arguments::read_in_place(std::size_t col, PyObject* o, const char* name, const char* formats) {
    if (Py_TYPE(o) != reinterpret_cast<PyTypeObject*>(np.ndarray.get())) return false;
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
    return view(col, Ref::borrow(o), name);
}

bool Arguments::add_float(std::size_t col, PyObject* o, const char* name) {
    if (PyFloat_CheckExact(o)) {
        scalar(col, PyFloat_AsDouble(o), name);
        return true;
    }
    if (read_in_place(col, o, name, "d")) return true;
    const Ref a = as_array(o, name);
    if (!a) return false;
    const char k = dtype_kind(a.get());
    if (k != 'f' && k != 'i' && k != 'u') {
        if (k != 0) wrong_dtype(name, a.get(), "real numbers");
        return false;
    }
    // asarray, not astype: an array that is float64 already is read in place.
    Ref f = as_array(a.get(), name, np.float64.get());
    return f && view(col, std::move(f), name);
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

// The texts that name each code, in the enumeration's order, as their
// lower case: any case names the code.
constexpr std::string_view kTypeTexts[2][2] = {{"c", "call"}, {"p", "put"}};
constexpr std::string_view kStyleTexts[2][2] = {{"american", "american"}, {"european", "european"}};
constexpr const char* kExpectedTexts[2] = {"'C', 'P', 'call' or 'put'", "'american' or 'european'"};

// The code a str names in the column, or -1.
long text_code(std::size_t col, PyObject* s) {
    Py_ssize_t n = 0;
    const char* t = PyUnicode_AsUTF8AndSize(s, &n);
    if (t == nullptr) {
        PyErr_Clear();  // a str that is no text (lone surrogates) names nothing
        return -1;
    }
    std::string lower(t, static_cast<std::size_t>(n));
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (long code = 0; code < 2; ++code) {
        for (const std::string_view text : (col == kType ? kTypeTexts : kStyleTexts)[code]) {
            if (lower == text) return code;
        }
    }
    return -1;
}

// The code of one item (a member or a text naming one), or the item itself
// when it is neither; ValueError for a text naming none.
Ref item_code(std::size_t col, Ref item, const char* name) {
    long code = 0;
    if (item && !member_code(col, item.get(), code) && PyUnicode_Check(item.get())) {
        code = text_code(col, item.get());
        if (code < 0) {
            PyErr_Format(PyExc_ValueError, "argument '%s': %R names no %s; expected %s, in any case", name, item.get(),
                         col == kType ? "option type" : "exercise style", kExpectedTexts[col == kType ? 0 : 1]);
            return Ref();
        }
    } else if (!item || !member_code(col, item.get(), code)) {
        return item;
    }
    return Ref::steal(PyLong_FromLong(code));
}

// Members and texts naming them, alone or in a list or tuple, as their codes.
Ref member_codes(std::size_t col, PyObject* o, const char* name) {
    if (!PyList_Check(o) && !PyTuple_Check(o)) return item_code(col, Ref::borrow(o), name);
    const Py_ssize_t n = PySequence_Size(o);
    Ref codes = Ref::steal(PyList_New(n));
    for (Py_ssize_t i = 0; codes && i < n; ++i) {
        Ref c = item_code(col, Ref::steal(PySequence_GetItem(o, i)), name);
        if (!c) return Ref();
        PyList_SetItem(codes.get(), i, c.release());
    }
    return codes;
}

// An attribute that may be missing: an empty Ref, and no exception, then.
Ref attr_if_any(PyObject* o, const char* name) {
    Ref a = attr(o, name);
    if (!a && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return a;
}

// The codes of a pandas categorical (a Categorical, or a Series or an Index
// of that dtype) of members or texts: its categories' codes taken by its
// codes, a missing value (code -1) an invalid code, so its element's status
// says so.  An empty Ref, with no exception, for anything else.
Ref categorical_codes(std::size_t col, PyObject* o, const char* name) {
    if (PyList_Check(o) || PyTuple_Check(o) || PyUnicode_Check(o)) return Ref();
    const Ref dtype = attr_if_any(o, "dtype");
    const Ref categories = dtype ? attr_if_any(dtype.get(), "categories") : Ref();
    if (!categories) return Ref();
    const Ref accessor = attr_if_any(o, "cat");
    const Ref codes = accessor ? attr(accessor.get(), "codes") : attr(o, "codes");
    const Ref listed = Ref::steal(codes ? PySequence_List(categories.get()) : nullptr);
    Ref table = listed ? member_codes(col, listed.get(), name) : Ref();
    const Ref invalid = Ref::steal(table ? PyLong_FromLong(255) : nullptr);
    if (!invalid || PyList_Append(table.get(), invalid.get()) < 0) return Ref();
    table = as_array(table.get(), name, np.int64.get());
    const Ref take = table ? attr(np.module.get(), "take") : Ref();
    return take ? Ref::steal(PyObject_CallFunctionObjArgs(take.get(), table.get(), codes.get(), nullptr)) : Ref();
}

bool Arguments::stage(std::size_t col, PyObject* o, const char* name) {
    const bool is_array = PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(np.ndarray.get())) != 0;
    Ref staged;
    const bool is_datetime64 = PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(np.datetime64.get())) != 0;
    if (is_array || PyFloat_CheckExact(o) || (PyLong_CheckExact(o) && col != kExpiry) ||
        (is_datetime64 && col == kExpiry)) {
        // Read where it is by take_views: converting it now would make a view
        // that a hook resizing the array would leave dangling.
        staged = Ref::borrow(o);
    } else if (col == kExpiry) {
        PyObject* dt_type = py::datetime_type();
        const int single = dt_type != nullptr ? PyObject_IsInstance(o, dt_type) : -1;
        if (single < 0) return false;
        staged = single ? Ref::borrow(o) : as_array(o, name);
    } else if (col == kType || col == kStyle) {
        Ref codes = categorical_codes(col, o, name);
        if (!codes && !PyErr_Occurred()) codes = member_codes(col, o, name);
        if (!codes) return false;
        staged = as_array(codes.get(), name);
    } else {
        staged = as_array(o, name);
    }
    if (!staged) return false;
    staged_[col] = {std::move(staged), name};
    return true;
}

bool Arguments::take_views() {
    // No collection until release(): a finaliser the collector would run (on
    // an allocation of ours or of numpy's) is user code that could free an
    // input already viewed.
    collector_paused_ = PyGC_Disable() == 1;
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
    Ref a = as_array(o, name);
    if (!a) return false;
    char k = dtype_kind(a.get());
    if (k == 'U' || k == 'O') {
        // Texts or members in an array: their codes, in the array's shape.
        const Ref flat = Ref::steal(PyObject_CallMethod(a.get(), "ravel", nullptr));
        const Ref items = Ref::steal(flat ? PySequence_List(flat.get()) : nullptr);
        const Ref codes = items ? member_codes(col, items.get(), name) : Ref();
        const Ref shape = codes ? attr(a.get(), "shape") : Ref();
        PyObject* as_codes = shape && PyList_Size(codes.get()) == 0 ? np.int64.get() : nullptr;  // none to read
        const Ref coded = shape ? as_array(codes.get(), name, as_codes) : Ref();
        a = Ref::steal(coded ? PyObject_CallMethod(coded.get(), "reshape", "O", shape.get()) : nullptr);
        k = a ? dtype_kind(a.get()) : 0;
    }
    if (k != 'i' && k != 'u' && k != 'b') {
        if (k != 0) wrong_dtype(name, a.get(), "integer codes or enumeration members");
        return false;
    }
    // Codes in any native integer type are read in place (read_code); the
    // others, byte-swapped ones say, are converted first.
    bool native = false;
    if (!native_integers(a.get(), native)) return false;
    if (native) return view(col, std::move(a), name);
    Ref i64 = as_array(a.get(), name, np.int64.get());
    return i64 && view(col, std::move(i64), name);
}

namespace {

// The unit of the last datetime64 dtype read (a book's arrays share theirs),
// touched under the interpreter lock only; never destroyed, so that no
// reference is dropped after the interpreter has ended.
struct DatetimeUnit {
    Ref dtype;
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
        out = {Ref::borrow(dtype), last_unit.mul, last_unit.div, last_unit.swapped};
        return true;
    }
    const Ref data = Ref::steal(PyObject_CallFunctionObjArgs(np.datetime_data.get(), dtype, nullptr));
    // The ticks are integers of the array's own byte order ('<' or '>', as
    // dtype.str begins).
    const Ref code = data ? attr(dtype, "str") : Ref();
    const char* text = code ? PyUnicode_AsUTF8AndSize(code.get(), nullptr) : nullptr;
    if (text == nullptr) return false;
    out.swapped = text[0] == (std::endian::native == std::endian::little ? '>' : '<');
    const char* unit = nullptr;
    long long count = 0;
    if (PyArg_ParseTuple(data.get(), "sL", &unit, &count) == 0) return false;
    if (unit_scale(unit, count, out.mul, out.div)) {
        out.dtype = Ref::borrow(dtype);
        last_unit = {Ref::borrow(dtype), out.mul, out.div, out.swapped};
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

bool Arguments::add_datetime64(Ref a, const char* name) {
    const Ref dtype = attr(a.get(), "dtype");
    DatetimeUnit unit;
    if (!dtype || !datetime_unit(dtype.get(), name, unit)) return false;
    micros_mul_ = unit.mul;
    micros_div_ = unit.div;
    // The ticks as int64 in the machine's order: a view when they are so.
    const char* other_order = std::endian::native == std::endian::little ? ">i8" : "<i8";
    Ref ticks = Ref::steal(unit.swapped ? PyObject_CallMethod(a.get(), "view", "s", other_order)
                                                : PyObject_CallMethod(a.get(), "view", "O", np.int64.get()));
    if (ticks && unit.swapped) ticks = as_array(ticks.get(), name, np.int64.get());
    return ticks && view(kExpiry, std::move(ticks), name);
}

namespace {

// The last datetime64 scalar read, with its ticks and unit: calls often
// pass the same expiry object.  A scalar is immutable, and the reference
// kept here keeps its address from being reused.
struct LastScalar {
    Ref scalar;
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
    const Ref dtype = attr(o, "dtype");
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
    last_scalar = {Ref::borrow(o), ticks, unit.mul, unit.div};
    return true;
}

bool Arguments::add_expiry(PyObject* o, const char* name) {
    if (PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(np.datetime64.get())) != 0) {
        return add_datetime64_scalar(o, name);
    }
    PyObject* dt_type = py::datetime_type();
    const int single = dt_type != nullptr ? PyObject_IsInstance(o, dt_type) : -1;
    if (single < 0) return false;
    if (single) {
        const Ref items = Ref::steal(PyList_New(1));
        if (!items) return false;
        PyList_SetItem(items.get(), 0, Ref::borrow(o).release());
        return add_datetimes(items.get(), name);
    }
    Ref a = as_array(o, name);
    const char k = a ? dtype_kind(a.get()) : 0;
    if (k == 'M') return add_datetime64(std::move(a), name);
    if (k != 'O') {
        if (k != 0) wrong_dtype(name, a.get(), "datetime64 values or timezone-aware datetimes");
        return false;
    }
    // The items in a list of our own: a time zone may resize the array.
    const Ref flat = Ref::steal(PyObject_CallMethod(a.get(), "ravel", nullptr));
    const Ref items = Ref::steal(flat ? PySequence_List(flat.get()) : nullptr);
    const Ref shape = items ? attr(a.get(), "shape") : Ref();
    if (!shape) return false;
    std::vector<Py_ssize_t>& extents = inputs_[kExpiry].shape;
    for (Py_ssize_t d = 0; d < PyTuple_Size(shape.get()); ++d) {
        extents.push_back(PyLong_AsSsize_t(PyTuple_GetItem(shape.get(), d)));
    }
    return add_datetimes(items.get(), name);
}

namespace {

// One datetime expiry converted as the option constructor converts it: the
// constructor's two refusals become the element's problem; false, ending
// the call, with the exception that anything else raised.
bool convert_datetime(PyObject* item, Py_ssize_t i, const char* name, ConvertedExpiry& cell) {
    const int is_dt = PyObject_IsInstance(item, py::datetime_type());
    if (is_dt <= 0) {
        const Ref tn = Ref::steal(is_dt == 0 ? PyType_GetName(Py_TYPE(item)) : nullptr);
        if (tn) {
            PyErr_Format(PyExc_TypeError, "argument '%s': element %zd is a '%U', not a datetime", name, i, tn.get());
        }
        return false;
    }
    switch (py::read_aware(item, py::Rounding::Truncate, cell.instant)) {
        case py::Aware::Instant:
            return true;
        case py::Aware::Naive:
            cell.problem = kExpiryNaive;
            return true;
        case py::Aware::Invalid:
            cell.problem = kExpiryInvalid;
            return true;
        case py::Aware::Failed:
            break;
    }
    return false;
}

}  // namespace

bool Arguments::add_datetimes(PyObject* items, const char* name) {
    Input& in = inputs_[kExpiry];
    in.name = name;
    const Py_ssize_t n = PyList_Size(items);
    converted_ = std::make_shared<std::vector<ConvertedExpiry>>(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        // A reference of our own: a time zone may change the list.
        const Ref item = Ref::steal(PySequence_GetItem(items, i));
        if (!item || !convert_datetime(item.get(), i, name, (*converted_)[static_cast<std::size_t>(i)])) return false;
    }
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
    refs_.clear();
    if (std::exchange(collector_paused_, false)) PyGC_Enable();
}

}  // namespace zub::batch
