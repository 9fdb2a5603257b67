// The arguments of zub_batch's entry points as their declarations
// (declare.hpp) take them: each type's Param reads one argument.
#pragma once

#include <cmath>
#include <memory>

#include "datetime_conv.hpp"
#include "declare.hpp"
#include "records.hpp"

namespace zub::batch {

// An argument taken as given (borrowed), read by the entry itself.
struct Given {
    PyObject* o = nullptr;
};
// A thread count between 1 and 1024.
struct Threads {
    unsigned count = 0;
};
// An argument's truth, False by default.
struct Flag {
    bool on = false;
};
// A finite positive number (a bound or a tolerance of the search).
struct Positive {
    double value = 0.0;
};
// The market record a frame holds; the method table a Config holds.
struct Frame {
    std::shared_ptr<const MarketRecord> record;
};
struct ConfigTableOf {
    std::shared_ptr<const ConfigTable> table;
};
using ValuationTime = py::AwareTime<py::Rounding::Floor, py::kValuationTimeNaive, py::kInvalidTimestamp>;
// A VolSurface argument.
struct SurfaceOf {
    const VolSurface* surface = nullptr;
};
// The tolerance of the arbitrage check, 1e-12 by default.
struct CheckTolerance {
    double value = 1e-12;
};

}  // namespace zub::batch

namespace zub::py {

template <>
struct Param<batch::Given> {
    using Held = batch::Given;
    static bool read(PyObject* o, const char*, Held& out) {
        out.o = o;
        return true;
    }
};

template <>
struct Param<batch::Threads> {
    using Held = batch::Threads;
    static bool read(PyObject* o, const char* name, Held& out) {
        long n = PyLong_AsLong(o);
        if (n == -1 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return prefix_argument_error(name);
            PyErr_Clear();  // a count of any size out of range is told as such
            n = 0;
        }
        if (n < 1 || n > 1024) return fail(PyExc_ValueError, "threads must be between 1 and 1024");
        out.count = static_cast<unsigned>(n);
        return true;
    }
};

template <>
struct Param<batch::Flag> {
    using Held = batch::Flag;
    static constexpr const char* kDefault = "False";
    static bool read(PyObject* o, const char*, Held& out) {
        const int v = PyObject_IsTrue(o);
        out.on = v == 1;
        return v >= 0;
    }
};

template <>
struct Param<batch::Positive> {
    using Held = batch::Positive;
    static bool read(PyObject* o, const char* name, Held& out) {
        if (!to_double(o, name, out.value)) return false;
        if (std::isfinite(out.value) && out.value > 0.0) return true;
        PyErr_Format(PyExc_ValueError, "%s must be a finite positive number", name);
        return false;
    }
};

template <>
struct Param<batch::SurfaceOf> {
    using Held = batch::SurfaceOf;
    static bool read(PyObject* o, const char* name, Held& out) {
        out.surface = batch::value_if<VolSurface>(o);
        if (out.surface != nullptr) return true;
        PyErr_Format(PyExc_TypeError, "argument '%s': expected a VolSurface", name);
        return false;
    }
};

template <>
struct Param<batch::CheckTolerance> {
    using Held = batch::CheckTolerance;
    static constexpr const char* kDefault = "1e-12";
    static bool read(PyObject* o, const char* name, Held& out) { return to_double(o, name, out.value); }
};

template <>
struct Param<batch::Frame> {
    using Held = batch::Frame;
    static bool read(PyObject* o, const char* name, Held& out) { return batch::read_frame(o, name, out.record); }
};

template <>
struct Param<batch::ConfigTableOf> {
    using Held = batch::ConfigTableOf;
    static bool read(PyObject* o, const char* name, Held& out) { return batch::read_config(o, name, out.table); }
};

}  // namespace zub::py
