// zub_batch: valuation and implied volatility over arrays of options, on a
// pool of threads with the interpreter lock released.  The Python side:
// the entry points' arguments, the result dictionary and the module; the
// pricing of the elements is in kernels.cpp.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "arrays.hpp"
#include "core/number_text.hpp"
#include "datetime_conv.hpp"
#include "declare.hpp"
#include "kernels.hpp"
#include "pool.hpp"
#include "records.hpp"

// Registers the pickle and copy reducers of zub's classes; defined, when it
// is, by another file of this module (a hidden weak reference is null when
// no file defines it).
extern "C" int zub_batch_register_reducers(PyObject* module) __attribute__((weak, visibility("hidden")));

namespace zub::batch {
namespace {

using py::Signature;

// ---------------------------------------------------------------------------
// The Python side

// Arguments shared by both entry points, read under the interpreter lock.
struct CallOptions {
    unsigned threads = 1;  // 0: as many as there are cores
    bool messages = false;
    PyObject* out = nullptr;  // borrowed: the caller's output arrays
};

bool read_threads(PyObject* o, unsigned& out) {
    if (o == nullptr || o == Py_None) {
        out = 0;  // every core, counted only when the job has work for more than one
        return true;
    }
    long n = PyLong_AsLong(o);
    if (n == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
            py::prefix_argument_error("threads");
            return false;
        }
        PyErr_Clear();  // a count of any size out of range is told as such
        n = 0;
    }
    if (n < 1 || n > 1024) {
        PyErr_SetString(PyExc_ValueError, "threads must be between 1 and 1024");
        return false;
    }
    out = static_cast<unsigned>(n);
    return true;
}

bool read_valuation(PyObject* o, Instant& out) {
    if (o == nullptr || o == Py_None) {
        out = py::now_instant();
        return true;
    }
    if (!py::require_datetime(o, "valuation_time")) return false;
    return py::aware_instant(o, py::Rounding::Floor,
                             "Evaluation time must have a timezone specified (e.g. New York or UTC)",
                             "Invalid timestamp", out);
}

bool read_flag(PyObject* o, bool& out) {
    if (o == nullptr) return true;
    const int v = PyObject_IsTrue(o);
    if (v < 0) return false;
    out = v == 1;
    return true;
}

// The common inputs: frame, config, option columns, valuation time.
bool read_common(Task& t, Arguments& args, PyObject* const* p, int first_column, PyObject* spot, PyObject* vol) {
    // p: market_frame, [target,] strike, expiry, option_type, exercise_style, valuation_time, config
    if (!read_frame(p[0], "market_frame", t.market)) return false;
    const int c = first_column;
    if (!args.stage(kStrike, p[c], "strike") || !args.stage(kExpiry, p[c + 1], "expiry") ||
        !args.stage(kType, p[c + 2], "option_type") || !args.stage(kStyle, p[c + 3], "exercise_style")) {
        return false;
    }
    if (spot != nullptr && spot != Py_None && !args.stage(kSpot, spot, "spot")) return false;
    if (vol != nullptr && vol != Py_None && !args.stage(kVol, vol, "vol")) return false;
    if (!read_valuation(p[c + 4], t.valuation)) return false;
    return read_config(p[c + 5], "config", t.config);
}

// Runs the task over its elements and returns the result dictionary with
// the output arrays named in `names` (already created) plus status and,
// when asked for, message.
PyObject* run_and_collect(const std::shared_ptr<Task>& task, void (*range)(const Task&, Job&, std::size_t, std::size_t),
                          const CallOptions& opts, PyObject* dict) {
    const std::size_t n = task->layout.size;
    if (n > 0) {
        auto job = std::make_shared<Job>();
        job->size = n;
        job->min_chunk = task->min_chunk;
        job->chunk = std::clamp<std::size_t>(n / (std::size_t{opts.threads} * 16), task->min_chunk, 1024) /
                     task->min_chunk * task->min_chunk;
        job->max_workers = static_cast<unsigned>(std::min<std::size_t>(opts.threads, (n + job->chunk - 1) / job->chunk));
        Job* raw = job.get();
        job->body = [task, raw, range](std::size_t b, std::size_t e) {
            try {
                range(*task, *raw, b, e);
            } catch (const std::exception&) {
                task->out_of_memory.store(true, std::memory_order_relaxed);
                raw->cancel.store(true, std::memory_order_relaxed);
            }
        };
        if (!run_job(job)) {
            Py_DECREF(dict);
            return nullptr;
        }
        if (task->out_of_memory.load(std::memory_order_relaxed)) {
            Py_DECREF(dict);
            return PyErr_NoMemory();
        }
    }
    if (task->messages) {
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
        for (std::size_t i = 0; list != nullptr && i < n; ++i) {
            const bool failed = task->status[i] != kOk;
            PyObject* m = failed ? PyUnicode_FromStringAndSize((*task->messages)[i].data(), static_cast<Py_ssize_t>((*task->messages)[i].size())) : (Py_INCREF(Py_None), Py_None);
            if (m == nullptr) {
                Py_CLEAR(list);
                break;
            }
            PyList_SetItem(list, static_cast<Py_ssize_t>(i), m);
        }
        if (list == nullptr || PyDict_SetItemString(dict, "message", list) < 0) {
            Py_XDECREF(list);
            Py_DECREF(dict);
            return nullptr;
        }
        Py_DECREF(list);
    }
    return dict;
}

// The result's key `name` (one of the static names below), made once: a
// borrowed reference, or nullptr with an exception set.  The keys are never
// destroyed, so that none is dropped after the interpreter has ended.
PyObject* result_key(const char* name) {
    static auto& keys = *new std::array<std::pair<const char*, py::Ref>, 10>();
    for (auto& [text, key] : keys) {
        if (text != nullptr) {
            if (text == name || std::strcmp(text, name) == 0) return key.get();
            continue;
        }
        key = py::Ref::steal(PyUnicode_InternFromString(name));
        if (key) text = name;
        return key.get();
    }
    return nullptr;  // never: the names are fewer
}

// A new dict of the named float64 outputs and the status array: those the
// caller gave, the others created.
PyObject* make_outputs(Task& t, const char* const* names, int count, bool messages, const GivenOutputs& given) {
    py::Ref dict = py::Ref::steal(PyDict_New());
    py::Ref shape = py::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(t.layout.shape.size())));
    if (!dict || !shape) return nullptr;
    for (std::size_t d = 0; d < t.layout.shape.size(); ++d) {
        PyObject* extent = PyLong_FromSsize_t(t.layout.shape[d]);
        if (extent == nullptr) return nullptr;
        PyTuple_SetItem(shape.get(), static_cast<Py_ssize_t>(d), extent);
    }
    for (int k = 0; k <= count; ++k) {
        const bool is_status = k == count;
        void* data = nullptr;
        PyObject* given_array = given.array(k, data);
        const py::Ref a = given_array != nullptr ? py::Ref::borrow(given_array)
                                                 : py::Ref::steal(new_output(shape.get(), t.layout.size, is_status, data));
        PyObject* key = result_key(is_status ? "status" : names[k]);
        if (!a || key == nullptr || PyDict_SetItem(dict.get(), key, a.get()) < 0) return nullptr;
        if (is_status) {
            t.status = static_cast<uint8_t*>(data);
        } else {
            t.out[k] = static_cast<double*>(data);
        }
    }
    if (messages) t.messages = std::make_unique<std::vector<std::string>>(t.layout.size);
    return dict.release();
}

const char* const kValueParams[] = {"market_frame", "strike", "expiry", "option_type", "exercise_style",
                                    "valuation_time", "config", "spot", "vol", "threads", "messages", "out"};
constexpr Signature kValueSig{"value", kValueParams, 12, 5};
const char* const kValueOutputs[] = {"price", "delta", "gamma", "theta", "vega", "rho"};

using Range = void (*)(const Task&, Job&, std::size_t, std::size_t);

// The frame of both entry points: `read` fills the task, the inputs and the
// options from the call's arguments under the interpreter lock; the job
// then runs outside any handler that would stop the unwinding by which the
// interpreter may end this thread at exit.
template <class Read>
PyObject* run_entry(Read&& read, Range range, const char* const* outputs, int count) {
    auto task = std::make_shared<Task>();
    Arguments inputs;
    GivenOutputs given;
    CallOptions opts;
    PyObject* dict = py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        // Every hook of the caller's objects runs before the first view.
        if (!read(*task, inputs, opts) || !given.collect(opts.out) || !inputs.take_views() ||
            !inputs.broadcast(task->layout) || !given.read(outputs, count, task->layout, inputs)) {
            return nullptr;
        }
        task->converted = inputs.converted();
        if (task->layout.size > task->min_chunk) {
            if (opts.threads == 0) opts.threads = default_workers(task->layout.size);
            reserve_workers(opts.threads - 1);  // the calling thread is one of them
        } else {
            opts.threads = 1;  // one chunk
        }
        return make_outputs(*task, outputs, count, opts.messages, given);
    });
    if (dict != nullptr) dict = run_and_collect(task, range, opts, dict);
    given.release();
    inputs.release();
    return dict;
}

PyObject* value(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    const auto read = [&](Task& task, Arguments& inputs, CallOptions& opts) {
        PyObject* p[12] = {};
        if (!py::bind(kValueSig, args, nargs, kw, p)) return false;
        opts.out = p[11];
        return read_common(task, inputs, p, 1, p[7], p[8]) && read_threads(p[9], opts.threads) &&
               read_flag(p[10], opts.messages);
    };
    return run_entry(read, value_range, kValueOutputs, 6);
}

const char* const kImpliedParams[] = {"market_frame", "target", "strike", "expiry", "option_type", "exercise_style",
                                      "valuation_time", "config", "spot", "low", "high", "tolerance", "threads",
                                      "messages", "out"};
constexpr Signature kImpliedSig{"implied_vol", kImpliedParams, 15, 6};
const char* const kImpliedOutputs[] = {"vol"};

bool read_bound(PyObject* o, const char* name, double& out) {
    if (o == nullptr || o == Py_None) return true;
    if (!py::to_double(o, name, out)) return false;
    if (!(std::isfinite(out) && out > 0.0)) {
        PyErr_Format(PyExc_ValueError, "%s must be a finite positive number", name);
        return false;
    }
    return true;
}

// A bound or tolerance when given (not None).
bool read_optional_bound(PyObject* o, const char* name, std::optional<double>& out) {
    if (o == nullptr || o == Py_None) return true;
    double v = 0.0;
    if (!read_bound(o, name, v)) return false;
    out = v;
    return true;
}

PyObject* implied_vol(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    const auto read = [&](Task& task, Arguments& inputs, CallOptions& opts) {
        PyObject* p[15] = {};
        if (!py::bind(kImpliedSig, args, nargs, kw, p)) return false;
        opts.out = p[14];
        VolSearch& s = task.search;
        s.refuse_at_exercise_value = true;
        s.refuse_invalid_inputs = true;
        s.exact_by_default = true;
        task.min_chunk = kVolChunk;
        if (!read_common(task, inputs, p, 2, p[8], nullptr) || !inputs.stage(kTarget, p[1], "target") ||
            !read_optional_bound(p[9], "low", s.low) || !read_optional_bound(p[10], "high", s.high) ||
            !read_optional_bound(p[11], "tolerance", s.tolerance) || !read_threads(p[12], opts.threads) ||
            !read_flag(p[13], opts.messages)) {
            return false;
        }
        if (s.low && s.high && !(*s.low < *s.high)) {
            const std::string text =
                "low (" + format_shortest(*s.low) + ") must be below high (" + format_shortest(*s.high) + ")";
            PyErr_SetString(PyExc_ValueError, text.c_str());
            return false;
        }
        return true;
    };
    return run_entry(read, implied_vol_range, kImpliedOutputs, 1);
}

PyObject* available_threads(PyObject*, PyObject*) { return PyLong_FromUnsignedLong(available_cores()); }

PyMethodDef methods[] = {
    {"value", py::as_cfunction(value), py::kFastKw,
     "value(market_frame, strike, expiry, option_type, exercise_style, valuation_time=None, config=None, "
     "spot=None, vol=None, threads=None, messages=False, out=None)\n--\n\n"
     "Price and Greeks of every option the broadcast arrays describe."},
    {"implied_vol", py::as_cfunction(implied_vol), py::kFastKw,
     "implied_vol(market_frame, target, strike, expiry, option_type, exercise_style, valuation_time=None, "
     "config=None, spot=None, low=None, high=None, tolerance=None, threads=None, messages=False, out=None)\n--\n\n"
     "Implied volatility of every option the broadcast arrays describe."},
    {"default_threads", available_threads, METH_NOARGS,
     "default_threads()\n--\n\nThreads a call uses at most when threads is not given: the cores this process may run on."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "zub_batch",
    "Valuation and implied volatility over arrays of options, on every core.", -1, methods,
    nullptr, nullptr, nullptr, nullptr,
};

PyObject* init() {
    if (!load_numpy() || !load_zub_classes()) return nullptr;
    PyObject* m = PyModule_Create(&module_def);
    if (m == nullptr) return nullptr;
    PyObject* names = PyTuple_New(kStatusCount);
    bool ok = names != nullptr;
    for (int s = 0; ok && s < kStatusCount; ++s) {
        ok = PyModule_AddIntConstant(m, kStatusNames[s], s) == 0;
        PyObject* name = ok ? PyUnicode_FromString(kStatusNames[s]) : nullptr;
        ok = name != nullptr && PyTuple_SetItem(names, s, name) == 0;
    }
    ok = ok && PyModule_AddObjectRef(m, "STATUS_NAMES", names) == 0;
    Py_XDECREF(names);
    // reducers for pickle and copy
    if (ok && zub_batch_register_reducers != nullptr) ok = zub_batch_register_reducers(m) == 0;
    if (!ok) {
        Py_DECREF(m);
        return nullptr;
    }
    install_fork_handler();
    return m;
}

}  // namespace
}  // namespace zub::batch

extern "C" PyMODINIT_FUNC PyInit_zub_batch(void) {
    return zub::py::guarded<PyObject*>(nullptr, [] { return zub::batch::init(); });
}
