// Array arguments: conversion through numpy and broadcasting (the Python
// side of the inputs that the workers read through a Layout).
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

// What the module uses of numpy, looked up by load_numpy and kept for the
// life of the process (never destroyed, so that no reference is dropped
// after the interpreter has ended).
struct Numpy {
    py::Ref module;
    py::Ref asarray;
    py::Ref empty;
    py::Ref datetime_data;
    py::Ref ndarray;
    py::Ref datetime64;  // the scalar type
    // dtypes
    py::Ref int64;
    py::Ref float64;
    py::Ref uint8;
};
extern Numpy& np;

// Whether a buffer format is one element of a struct code in `codes`, in the
// machine's byte order.
bool native_format(const char* format, const char* codes);


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
    // The garbage collector stays paused until release(), so that no
    // finaliser runs while the views are held.
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
    bool view(std::size_t col, py::Ref array, const char* name);
    bool read_in_place(std::size_t col, PyObject* o, const char* name, const char* formats);
    template <class T>
    void scalar(std::size_t col, T value, const char* name);
    bool add_float(std::size_t col, PyObject* o, const char* name);
    bool add_code(std::size_t col, PyObject* o, const char* name);
    bool add_expiry(PyObject* o, const char* name);
    bool add_datetimes(PyObject* items, const char* name);
    bool add_datetime64(py::Ref array, const char* name);
    bool add_datetime64_scalar(PyObject* o, const char* name);

    struct Staged {
        py::Ref object;
        const char* name = nullptr;
    };
    std::array<Staged, kCols> staged_{};
    std::array<std::array<char, 8>, kCols> scalars_{};
    std::array<Input, kCols> inputs_{};
    std::vector<py::Ref> refs_;
    std::vector<Py_buffer> views_;
    std::shared_ptr<std::vector<ConvertedExpiry>> converted_;
    bool collector_paused_ = false;  // by take_views, resumed by release
    int64_t micros_mul_ = 1;
    int64_t micros_div_ = 1;

public:
    // Kept alive by the job, which may outlive the call in a thread that the
    // interpreter ends at exit.
    std::shared_ptr<std::vector<ConvertedExpiry>> converted() const { return converted_; }
};

}  // namespace zub::batch
