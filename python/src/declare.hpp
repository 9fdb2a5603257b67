// One declaration per entry point.  An implementation function takes typed
// C++ arguments and returns a C++ value; the templates here bind the Python
// arguments by the parameter names given once, convert each in order
// (std::optional<T> for a parameter whose default is None), call it inside
// the guard and convert the result back:
//
//     double zero_rate(const RateCurve& c, double t) { return c.zero_rate(t); }
//     method<"RateCurve.zero_rate", zero_rate, "t">()
//
// gives the method table entry, its text signature "zero_rate($self, t)"
// and every binding and conversion message.  Entries whose conversion order
// differs from their parameter order are written by hand and say so.
#pragma once

#include <algorithm>
#include <array>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "datetime_conv.hpp"

namespace zub::py {

// A string as a template argument.
template <std::size_t N>
struct Name {
    char s[N]{};
    constexpr Name(const char (&text)[N]) { std::copy_n(text, N, s); }
    // The part after the class name: "zero_rate" of "RateCurve.zero_rate";
    // a module function's name has none.
    constexpr const char* member() const {
        const char* dot = std::find(s, s + N, '.');
        return dot == s + N ? s : dot + 1;
    }
};

// The Python class that holds values of T is `class_of(Tag<T>{})`, declared
// beside the class getters (types.hpp) and found by argument lookup.
template <class T>
struct Tag {};
template <class T>
concept Bound = requires { class_of(Tag<T>{}); };

// An argument kept as the Python object itself, checked to hold a T.
template <class T>
struct Object {
    PyObject* o = nullptr;
};

// A timezone-aware datetime read by the aware conversion, with the messages
// of the parameter that takes it.
template <Rounding R, const char* Naive, const char* Invalid>
struct AwareTime {
    zub::Instant value;
};

// ---------------------------------------------------------------------------
// Reading one argument: Param<P>::read fills a Held from the object (nullptr
// when the argument was not given) or fails with the exception set.

template <class P>
struct Param;

template <class P, bool (*Read)(PyObject*, const char*, P&)>
struct Plain {
    using Held = P;
    static bool read(PyObject* o, const char* name, P& out) { return Read(o, name, out); }
};
template <>
struct Param<double> : Plain<double, to_double> {};
template <>
struct Param<int32_t> : Plain<int32_t, to_i32> {};
template <>
struct Param<uint64_t> : Plain<uint64_t, to_u64> {};
template <>
struct Param<zub::Date> : Plain<zub::Date, to_date> {};

// A str, as its UTF-8 text.
inline bool to_text(PyObject* o, const char* name, std::string& out) {
    if (o == nullptr || !PyUnicode_Check(o)) {
        set_cast_error(o, name, &PyUnicode_Type);
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(o, &size);
    if (text == nullptr) return prefix_argument_error(name);
    out.assign(text, static_cast<std::size_t>(size));
    return true;
}
template <>
struct Param<std::string> : Plain<std::string, to_text> {};
template <>
struct Param<zub::Instant> : Plain<zub::Instant, strict_utc_instant> {};

// An instance of T's class or of a subclass.
template <Bound T>
struct Param<T> {
    using Held = T*;
    static bool read(PyObject* o, const char* name, T*& out) {
        PyTypeObject* type = class_of(Tag<T>{});
        out = type != nullptr && o != nullptr && PyObject_TypeCheck(o, type) ? &value_of<T>(o) : nullptr;
        if (out == nullptr && type != nullptr) set_cast_error(o, name, type);
        return out != nullptr;
    }
};

// A sequence of class values or of floats, read by the sequence rule.
template <class T>
    requires Bound<T> || std::is_same_v<T, double>
struct Param<std::vector<T>> {
    using Held = std::vector<T>;
    static bool read(PyObject* o, const char* name, Held& out) {
        return for_each_in_sequence(
            o, name, [&](std::size_t n) { out.reserve(n); },
            [&](PyObject* item) {
                typename Param<T>::Held v{};
                if (!Param<T>::read(item, name, v)) return false;
                if constexpr (std::is_pointer_v<decltype(v)>) {
                    out.push_back(*v);
                } else {
                    out.push_back(v);
                }
                return true;
            });
    }
};

template <class T>
struct Param<Object<T>> {
    using Held = Object<T>;
    static bool read(PyObject* o, const char* name, Object<T>& out) {
        T* value = nullptr;
        out.o = o;
        return Param<T>::read(o, name, value);
    }
};

template <Rounding R, const char* Naive, const char* Invalid>
struct Param<AwareTime<R, Naive, Invalid>> {
    using Held = AwareTime<R, Naive, Invalid>;
    static bool read(PyObject* o, const char* name, Held& out) {
        return require_datetime(o, name) && aware_instant(o, R, Naive, Invalid, out.value);
    }
};

// The argument as the implementation receives it.
template <class H>
decltype(auto) held_value(H& h) {
    if constexpr (std::is_pointer_v<H>) {
        return *h;
    } else {
        return (h);
    }
}

template <class X>
struct Param<std::optional<X>> {
    using Held = std::optional<X>;
    static bool read(PyObject* o, const char* name, Held& out) {
        if (o == nullptr || o == Py_None) return true;
        typename Param<X>::Held h{};
        if (!Param<X>::read(o, name, h)) return false;
        out.emplace(held_value(h));
        return true;
    }
};

template <class T>
constexpr bool is_optional = false;
template <class X>
constexpr bool is_optional<std::optional<X>> = true;

// The default a text signature shows for an optional parameter: its Param's
// kDefault ("False") where it has one, else None (nullptr).
template <class T>
constexpr const char* default_text() {
    if constexpr (is_optional<T>) {
        return default_text<typename T::value_type>();
    } else if constexpr (requires { Param<T>::kDefault; }) {
        return Param<T>::kDefault;
    } else {
        return nullptr;
    }
}

// ---------------------------------------------------------------------------
// Results: a new reference, or nullptr with an exception set.

template <class R>
PyObject* to_python(R&& r) {
    using D = std::remove_cvref_t<R>;
    if constexpr (std::is_same_v<D, Ref>) {
        return r.release();
    } else if constexpr (std::is_same_v<D, bool>) {
        static_assert(!std::is_same_v<D, bool>, "no entry returns a bool");
    } else if constexpr (std::is_floating_point_v<D>) {
        return PyFloat_FromDouble(r);
    } else if constexpr (std::is_integral_v<D>) {
        return PyLong_FromLongLong(r);
    } else if constexpr (is_optional<D>) {
        return r ? to_python(*std::forward<R>(r)) : Ref::borrow(Py_None).release();
    } else if constexpr (std::is_same_v<D, std::string>) {
        return PyUnicode_FromStringAndSize(r.data(), static_cast<Py_ssize_t>(r.size()));
    } else if constexpr (std::is_same_v<D, const char*>) {
        return PyUnicode_FromString(r);
    } else if constexpr (std::is_same_v<D, zub::Date>) {
        return new_date(r);
    } else {
        static_assert(Bound<D>, "a result must be a number, a date, a Ref or a class's value");
        PyTypeObject* t = class_of(Tag<D>{});
        return t ? new_box<D>(t, std::forward<R>(r)) : nullptr;
    }
}

template <class T>
PyObject* to_python(zub::Outcome<T>&& r) {
    if (!r) {
        raise_error(r.error());
        return nullptr;
    }
    return to_python(std::move(*r));
}

// ---------------------------------------------------------------------------
// Entry points

template <class... A>
struct List {};

// What an implementation takes and returns, read off its type.  A method's
// first parameter is the object: its value, or the PyObject* itself.
template <class R, class... A>
List<A...> params_of(R (*)(A...));
template <class R, class S, class... A>
List<A...> params_after_self(R (*)(S, A...));
List<> params_after_self(...);
template <class R, class S, class... A>
S self_of(R (*)(S, A...));
template <class T, class M>
T& self_of(M T::*);

template <auto Impl, bool Self>
using Taken = std::conditional_t<Self, decltype(params_after_self(Impl)), decltype(params_of(Impl))>;

// The number of required parameters; the optional ones must come last.
template <class... A>
constexpr int required(List<A...>) {
    constexpr bool opt[] = {is_optional<std::remove_cvref_t<A>>..., false};
    const int n = static_cast<int>(std::count(opt, opt + sizeof...(A), false));
    return std::all_of(opt + n, opt + sizeof...(A), [](bool b) { return b; }) ? n : -1;
}

template <class... A>
constexpr std::array<const char*, sizeof...(A) + 1> defaults_of(List<A...>) {
    return {default_text<std::remove_cvref_t<A>>()..., nullptr};
}

template <Name Qual, class Args, Name... P>
struct Declared {
    static constexpr const char* names[] = {P.s..., nullptr};
    static constexpr auto defaults = defaults_of(Args{});
    static constexpr Signature sig{Qual.s, names, sizeof...(P), required(Args{}), defaults.data()};
    static_assert(sig.required >= 0, "parameters with a None default come last");
};

// Converts the bound arguments in parameter order and calls `call` with them.
template <class... A, class Call>
PyObject* convert_and_call(List<A...>, const Signature& sig, PyObject* const* v, Call&& call) {
    static_assert(sizeof...(A) <= 16);
    return [&]<std::size_t... I>(std::index_sequence<I...>) -> PyObject* {
        std::tuple<typename Param<std::remove_cvref_t<A>>::Held...> held{};
        if (!(Param<std::remove_cvref_t<A>>::read(v[I], sig.names[I], std::get<I>(held)) && ...)) return nullptr;
        return call(held_value(std::get<I>(held))...);
    }(std::index_sequence_for<A...>{});
}

template <class S>
decltype(auto) self_as(PyObject* self) {
    if constexpr (std::is_same_v<S, PyObject*>) {
        return self;
    } else {
        return value_of<std::remove_cvref_t<S>>(self);
    }
}

using FastKw = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;
inline PyCFunction as_cfunction(FastKw f) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)); }

template <Name Qual, auto Impl, bool Self, Name... P>
PyObject* fast_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    using D = Declared<Qual, Taken<Impl, Self>, P...>;
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[sizeof...(P) + 1] = {};
        if (!bind(D::sig, args, nargs, kw, p)) return nullptr;
        return convert_and_call(Taken<Impl, Self>{}, D::sig, p, [&](auto&&... a) {
            if constexpr (Self) {
                return to_python(Impl(self_as<decltype(self_of(Impl))>(self), a...));
            } else {
                return to_python(Impl(a...));
            }
        });
    });
}

template <Name Qual, auto Impl, bool Self, Name... P>
PyMethodDef fast_def(int flags = Self ? kFastKw : kFastKw | METH_STATIC, const char* doc = nullptr) {
    using D = Declared<Qual, Taken<Impl, Self>, P...>;
    return {Qual.member(), as_cfunction(fast_entry<Qual, Impl, Self, P...>), flags, text_signature(D::sig, Self, doc)};
}

template <Name Qual, auto Impl, Name... P>
PyMethodDef method() {
    return fast_def<Qual, Impl, true, P...>();
}

template <Name Qual, auto Impl, Name... P>
PyMethodDef static_method() {
    return fast_def<Qual, Impl, false, P...>();
}

// A module's function, with its documentation after the text signature.
template <Name Qual, auto Impl, Name... P>
PyMethodDef function(const char* doc) {
    return fast_def<Qual, Impl, false, P...>(kFastKw, doc);
}

// A constructor and its text signature, the class's documentation.
struct Init {
    newfunc fn = no_constructor;
    const char* doc = nullptr;
};

// The implementation returns the new object's value.
template <Name Qual, auto Impl, Name... P>
PyObject* init_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    using D = Declared<Qual, Taken<Impl, false>, P...>;
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[sizeof...(P) + 1] = {};
        if (!bind(D::sig, args, kwargs, p)) return nullptr;
        return convert_and_call(Taken<Impl, false>{}, D::sig, p, [&](auto&&... a) {
            return new_box<std::remove_cvref_t<decltype(Impl(a...))>>(type, Impl(a...));
        });
    });
}

template <Name Qual, auto Impl, Name... P>
Init constructor() {
    using D = Declared<Qual, Taken<Impl, false>, P...>;
    return {init_entry<Qual, Impl, P...>, text_signature(D::sig, false)};
}

// ---------------------------------------------------------------------------
// Getters and unary slots of a class holding T values: `Read` is a data
// member of T or a function of `const T&`.

template <auto Read>
PyObject* read_slot(PyObject* self) {
    using T = std::remove_cvref_t<decltype(self_of(Read))>;
    return guarded<PyObject*>(nullptr, [&] { return to_python(std::invoke(Read, value_of<T>(self))); });
}

template <auto Read>
PyObject* read_getter(PyObject* self, void*) {
    return read_slot<Read>(self);
}

template <Name N, auto Read>
PyGetSetDef getter() {
    return {N.s, read_getter<Read>, nullptr, nullptr, nullptr};
}

// ---------------------------------------------------------------------------
// Classes

struct ClassSpec {
    const char* name;  // "builtins.X"
    std::initializer_list<PyMethodDef> methods = {};
    std::initializer_list<PyGetSetDef> getset = {};
    Init init = {};
    reprfunc repr = nullptr;
    unaryfunc as_int = nullptr;
};

// Creates a class from `spec`; `size` and `dealloc` describe its instances
// (0 and nullptr: a class without instances).  A new reference or nullptr.
PyTypeObject* make_type(const ClassSpec& spec, int size, destructor dealloc);

// The class holding T values; the deallocator is added here.
template <class T>
PyTypeObject* make_class(const ClassSpec& spec) {
    return make_type(spec, static_cast<int>(sizeof(Box<T>)), box_dealloc<T>);
}

// Stores a class attribute.  False with an exception set (also when
// `value` is nullptr, a failed creation).
bool add_class_attr(PyTypeObject* type, const char* name, Ref value);

// An enumeration: a class holding E whose members, class attributes, are
// created once with it.
template <class E>
PyTypeObject* make_enum(const ClassSpec& spec, std::initializer_list<std::pair<const char*, E>> members) {
    Ref made = Ref::steal(reinterpret_cast<PyObject*>(make_class<E>(spec)));
    auto* t = reinterpret_cast<PyTypeObject*>(made.get());
    for (const auto& [name, v] : members) {
        if (t == nullptr || !add_class_attr(t, name, Ref::steal(new_box<E>(t, v)))) return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(made.release());
}

}  // namespace zub::py
