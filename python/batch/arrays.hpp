// Array arguments: conversion through numpy, broadcasting, strided reading
// and the output arrays.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "boundary.hpp"
#include "core/period.hpp"
#include "instruments/vanilla_option.hpp"
#include "ref.hpp"

namespace zub::batch {

// numpy, imported when the module is; false with ImportError set.
bool load_numpy();

// The inputs an array call reads per element.
enum Col : std::size_t { kStrike, kExpiry, kType, kStyle, kSpot, kVol, kTarget, kCols };

// An expiry the caller gave as a datetime object, converted up front (the
// conversion runs Python code), or why it could not be.
struct ConvertedExpiry {
    Instant instant;
    uint8_t problem = 0;  // 0 none, else an ExpiryProblem
};

enum ExpiryProblem : uint8_t { kExpiryOk, kExpiryNaive, kExpiryInvalid, kExpiryNaT };
const char* expiry_problem_text(uint8_t problem) noexcept;

// The broadcast inputs of one call.  Python references and buffer views are
// taken and released under the interpreter lock by the owner (Arguments);
// workers only read through `base` and the byte strides.
struct Layout {
    std::vector<Py_ssize_t> shape;                       // broadcast shape
    std::vector<std::array<Py_ssize_t, kCols>> strides;  // [dimension][column], 0 along broadcast axes
    std::array<const char*, kCols> base{};               // nullptr: column absent
    std::size_t size = 1;
    // Integer codes (type, style) are read in their array's own width.
    std::array<uint8_t, kCols> code_bytes{};
    // A column given as a Python float or int is read from here.
    std::array<std::array<char, 8>, kCols> scalars{};

    // datetime64 expiries: microseconds = ticks * micros_mul, or
    // floor(ticks / micros_div) for units finer than a microsecond.
    bool expiry_converted = false;  // base[kExpiry] points at ConvertedExpiry cells
    int64_t micros_mul = 1;
    int64_t micros_div = 1;
};

// Reads elements in flat (C) order from a starting index.
class Walker {
public:
    Walker(const Layout& layout, std::size_t begin) noexcept;
    template <class T>
    T get(std::size_t col) const noexcept {
        T v;
        __builtin_memcpy(&v, layout_.base[col] + off_[col], sizeof(T));
        return v;
    }
    const char* at(std::size_t col) const noexcept { return layout_.base[col] + off_[col]; }
    // One step along the last axis here; wrapping into the outer axes out
    // of line.
    void next() noexcept {
        for (std::size_t c = 0; c < kCols; ++c) off_[c] += inner_[c];
        if (++inner_idx_ < inner_extent_) return;
        wrap();
    }

private:
    void wrap() noexcept;

    static constexpr int kMaxDims = 64;
    const Layout& layout_;
    std::array<Py_ssize_t, kCols> off_{};
    std::array<Py_ssize_t, kMaxDims> idx_{};  // of the outer axes
    // The last axis: its strides, extent and our index along it.  A 0-d
    // layout has no axis to step along and never wraps.
    std::array<Py_ssize_t, kCols> inner_{};
    Py_ssize_t inner_extent_ = PY_SSIZE_T_MAX;
    Py_ssize_t inner_idx_ = 0;
};

// The integer code of column `col` at the walker's element, zero-extended
// whatever the array's signedness: a code whose top bit is set is no valid
// code (0 or 1) either way.
inline uint64_t read_code(const Layout& layout, const Walker& w, std::size_t col) noexcept {
    switch (layout.code_bytes[col]) {
        case 1:
            return w.get<uint8_t>(col);
        case 2:
            return w.get<uint16_t>(col);
        case 4:
            return w.get<uint32_t>(col);
        default:
            return w.get<uint64_t>(col);
    }
}

// The last datetime64 expiry converted by one worker: a chain repeats its
// few expiries many times.
struct ExpiryCache {
    int64_t ticks = INT64_MIN;  // NaT: nothing cached
    Instant instant;
};

// The expiry of the current element, as the option constructor would have
// made it from a datetime in UTC; false with a problem code otherwise.
// read_expiry answers an expiry repeated from the last one inline.
bool convert_expiry(const Layout& layout, const Walker& w, ExpiryCache& cache, Instant& out, uint8_t& problem) noexcept;
inline bool read_expiry(const Layout& layout, const Walker& w, ExpiryCache& cache, Instant& out,
                        uint8_t& problem) noexcept {
    if (!layout.expiry_converted) {
        const auto ticks = w.get<int64_t>(kExpiry);
        if (ticks == cache.ticks && ticks != INT64_MIN) {
            out = cache.instant;
            return true;
        }
    }
    return convert_expiry(layout, w, cache, out, problem);
}

// The Python side of the inputs: converted arrays and buffer views, kept
// until release() (called under the interpreter lock; never from a
// destructor, so that an unwinding thread touches no Python object).
class Arguments {
public:
    // Runs now whatever Python code the argument of column `col` runs on its
    // way to an array (its __array__, a sequence's items, enumeration
    // members) and keeps what it gives; false with an exception set.  The
    // user's hooks all run before take_views(), which reads the arrays'
    // memory and runs none but the expiry datetimes' time zones, first: so
    // nothing a hook does (resizing an input, say) frees memory the call reads.
    bool stage(std::size_t col, PyObject* o, const char* name);
    // The views of the staged arguments, each recording its shape; false
    // with an exception set (TypeError naming the argument for a wrong kind).
    bool take_views();
    // Broadcasts the recorded shapes into `layout`; ValueError naming the
    // arguments when they do not broadcast.
    bool broadcast(Layout& layout);
    // The name of an input whose memory meets [begin, end), or nullptr.
    const char* overlapping(const char* begin, const char* end) const noexcept;
    void release();

private:
    struct Input {
        const char* name = nullptr;
        std::vector<Py_ssize_t> shape;
        std::vector<Py_ssize_t> strides;
        const char* data = nullptr;
        Py_ssize_t itemsize = 0;
        bool scalar = false;  // data: scalars_[column]
    };
    bool view(std::size_t col, PyObject* array, const char* name);
    bool read_in_place(std::size_t col, PyObject* o, const char* name, const char* formats);
    template <class T>
    void scalar(std::size_t col, T value, const char* name);
    bool add_float(std::size_t col, PyObject* o, const char* name);
    bool add_code(std::size_t col, PyObject* o, const char* name);
    bool add_expiry(PyObject* o, const char* name);
    bool add_datetime64(py::Ref array, const char* name);
    bool add_datetime64_scalar(PyObject* o, const char* name);

    struct Staged {
        py::Ref object;
        const char* name = nullptr;
    };
    std::array<Staged, kCols> staged_{};
    std::array<std::array<char, 8>, kCols> scalars_{};
    std::array<Input, kCols> inputs_{};
    std::vector<PyObject*> refs_;
    std::vector<Py_buffer> views_;
    std::shared_ptr<std::vector<ConvertedExpiry>> converted_;
    int64_t micros_mul_ = 1;
    int64_t micros_div_ = 1;

public:
    // Kept alive by the job, which may outlive the call in a thread that the
    // interpreter ends at exit.
    std::shared_ptr<std::vector<ConvertedExpiry>> converted() const { return converted_; }
};

// Arrays the caller gives to receive outputs (the `out` mapping), written
// in place.  Their buffers are held from read() to release(), both called
// under the interpreter lock.
class GivenOutputs {
public:
    // The items of `out` (nullptr or None: nothing given), taken before the
    // inputs' views since a mapping's look-ups may run Python code; false
    // with an exception set.
    bool collect(PyObject* out);
    // Reads the collected items: a mapping from the names names[0..doubles)
    // (float64 outputs) and "status" (uint8) to writable C-contiguous arrays
    // of the layout's shape, none of which meets an input's or another
    // output's memory; false with an exception naming the output set.
    bool read(const char* const* names, int doubles, const Layout& layout, const Arguments& inputs);
    // The array given for output k (k == doubles: status), or nullptr; its
    // data in `data`.
    PyObject* array(int k, void*& data) const noexcept;
    int count() const noexcept { return static_cast<int>(given_.size()); }
    void release();

private:
    bool add(int k, const char* name, bool status, PyObject* array, const Layout& layout, const Arguments& inputs);

    struct Given {
        int k;
        const char* name;
        PyObject* array;  // a reference of ours
        Py_buffer view;
    };
    std::vector<Given> given_;
    py::Ref items_;  // a list of (name, array) pairs
};

// A new C-contiguous output array of `shape` (a tuple of ints, `count`
// elements), float64 or, for the status, uint8, made by one call of a numpy
// constructor: each output has memory of its own, freed (a large one kept
// for a later call's outputs, a bounded few) when it is dropped whatever
// becomes of the others.  Its data in `data`; nullptr with an exception set.
PyObject* new_output(PyObject* shape, std::size_t count, bool status, void*& data);

}  // namespace zub::batch
