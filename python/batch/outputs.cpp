#include "outputs.hpp"

#include <algorithm>
#include <string>

namespace zub::batch {

using py::Ref;

namespace {

std::string shape_text(const Py_ssize_t* shape, std::size_t nd) {
    std::string s = "(";
    for (std::size_t d = 0; d < nd; ++d) s += (d > 0 ? ", " : "") + std::to_string(shape[d]);
    return s + (nd == 1 ? ",)" : ")");
}

// TypeError: output `name` has the wrong element type (the array's dtype,
// else the buffer's format).
void wrong_output_type(const char* name, const char* wanted, PyObject* array, const char* format) {
    const bool has_dtype = PyObject_HasAttrString(array, "dtype") != 0;
    const Ref dtype = Ref::steal(has_dtype ? PyObject_GetAttrString(array, "dtype") : nullptr);
    Ref got = Ref::steal(dtype ? PyObject_Str(dtype.get()) : nullptr);
    PyErr_Clear();
    if (!got) got = Ref::steal(PyUnicode_FromFormat("buffer format '%s'", format != nullptr ? format : "B"));
    if (got) PyErr_Format(PyExc_TypeError, "output '%s' must be %s, got %U", name, wanted, got.get());
}

}  // namespace

bool GivenOutputs::collect(PyObject* out) {
    if (out == nullptr || out == Py_None) return true;
    items_ = Ref::steal(PyMapping_Items(out));
    if (items_) return true;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError) && !PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    const Ref tn = Ref::steal(PyType_GetName(Py_TYPE(out)));
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
        const bool has_dtype = PyObject_HasAttrString(array, "dtype") != 0;
        const Ref tn = Ref::steal(has_dtype ? nullptr : PyType_GetName(Py_TYPE(array)));
        if (!tn) {
            wrong_output_type(name, wanted, array, nullptr);
        } else {
            PyErr_Format(PyExc_TypeError, "output '%s' must be a writable %s array, got '%U'", name, wanted, tn.get());
        }
        return false;
    }
    given_.push_back({k, name, Ref::borrow(array), view});
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
            return g.array.get();
        }
    }
    return nullptr;
}

void GivenOutputs::release() {
    items_ = Ref();
    for (Given& g : given_) PyBuffer_Release(&g.view);
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
    // The instance holds a reference to its class, dropped after the memory.
    const Ref type = Ref::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    auto* free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(Py_TYPE(self), Py_tp_free));
    free_fn(self);
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
    PyObject* dtype = status ? np.uint8.get() : np.float64.get();
    const auto bytes = static_cast<Py_ssize_t>(count * (status ? 1 : sizeof(double)));
    if (bytes >= kRecycledBytes) {
        PyTypeObject* tp = get_block_type();
        const Ref block = Ref::steal(tp != nullptr ? reinterpret_cast<PyObject*>(PyObject_New(Block, tp)) : nullptr);
        if (!block) return nullptr;
        auto* b = reinterpret_cast<Block*>(block.get());
        const Spare m = take_memory(bytes);
        b->data = m.data;
        b->size = m.data != nullptr ? m.size : 0;
        if (m.data == nullptr) return PyErr_NoMemory();
        data = m.data;
        return PyObject_CallFunctionObjArgs(np.ndarray.get(), shape, dtype, block.get(), nullptr);
    }
    // One vectorcall: the interpreter passes these arguments on the stack.
    Ref a = Ref::steal(PyObject_CallFunctionObjArgs(np.empty.get(), shape, dtype, nullptr));
    Py_buffer view;
    if (!a || PyObject_GetBuffer(a.get(), &view, PyBUF_WRITABLE) < 0) return nullptr;
    data = view.buf;  // the array keeps its memory for as long as it lives
    PyBuffer_Release(&view);
    return a.release();
}

}  // namespace zub::batch
