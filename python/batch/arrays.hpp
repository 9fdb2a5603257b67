// Array arguments: conversion through numpy, broadcasting, strided reading
// and the output arrays.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "boundary.hpp"
#include "layout.hpp"
#include "core/period.hpp"
#include "instruments/vanilla_option.hpp"
#include "ref.hpp"

namespace zub::batch {

// numpy, imported when the module is; false with ImportError set.
bool load_numpy();


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
