// The output arrays of an array call: those the caller gives (`out`) and
// those made for it.
#pragma once

#include <vector>

#include "arrays.hpp"

namespace zub::batch {

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
        py::Ref array;
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
