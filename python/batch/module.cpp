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
#include "outputs.hpp"
#include "params.hpp"
#include "pool.hpp"
#include "records.hpp"
#include "surface.hpp"

// Registers the pickle and copy reducers of zub's classes; defined, when it
// is, by another file of this module (a hidden weak reference is null when
// no file defines it).
extern "C" int zub_batch_register_reducers(PyObject* module) __attribute__((weak, visibility("hidden")));

namespace zub::batch {
namespace {

using py::Ref;

// ---------------------------------------------------------------------------
// The result

// The result's key `name` (one of the static names below), made once: a
// borrowed reference, or nullptr with an exception set.  The keys are never
// destroyed, so that none is dropped after the interpreter has ended.
PyObject* result_key(const char* name) {
    static auto& keys = *new std::array<std::pair<const char*, Ref>, 12>();
    for (auto& [text, key] : keys) {
        if (text != nullptr) {
            if (text == name || std::strcmp(text, name) == 0) return key.get();
            continue;
        }
        key = Ref::steal(PyUnicode_InternFromString(name));
        if (key) text = name;
        return key.get();
    }
    return nullptr;  // never: the names are fewer
}

// The status names by code as an object array, made once by add_statuses
// and never destroyed.
Ref& status_name_array = *new Ref();

// The name of each element's status: status_name_array taken by the status
// array (one vectorcall).
Ref status_names(PyObject* status) {
    const Ref take = Ref::steal(PyObject_GetAttrString(status_name_array.get(), "take"));
    return take ? Ref::steal(PyObject_CallFunctionObjArgs(take.get(), status, nullptr)) : Ref();
}

// The elements' messages as a list: the failures' texts, None for OK.
Ref message_list(const Task& t) {
    const std::size_t n = t.layout.size;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; list && i < n; ++i) {
        const std::string& text = (*t.messages)[i];
        const auto size = static_cast<Py_ssize_t>(text.size());
        Ref m = t.status[i] == kOk ? Ref::borrow(Py_None) : Ref::steal(PyUnicode_FromStringAndSize(text.data(), size));
        if (!m) return Ref();
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), m.release());
    }
    return list;
}

// A new dict of the named float64 outputs and the status array: those the
// caller gave, the others created.
Ref make_outputs(Task& t, const char* const* names, int count, bool messages, const GivenOutputs& given) {
    Ref dict = Ref::steal(PyDict_New());
    Ref shape = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(t.layout.shape.size())));
    if (!dict || !shape) return Ref();
    for (std::size_t d = 0; d < t.layout.shape.size(); ++d) {
        Ref extent = Ref::steal(PyLong_FromSsize_t(t.layout.shape[d]));
        if (!extent) return Ref();
        PyTuple_SetItem(shape.get(), static_cast<Py_ssize_t>(d), extent.release());
    }
    for (int k = 0; k <= count; ++k) {
        const bool is_status = k == count;
        void* data = nullptr;
        PyObject* given_array = given.array(k, data);
        const Ref a = given_array != nullptr ? Ref::borrow(given_array)
                                             : Ref::steal(new_output(shape.get(), t.layout.size, is_status, data));
        PyObject* key = result_key(is_status ? "status" : names[k]);
        if (!a || key == nullptr || PyDict_SetItem(dict.get(), key, a.get()) < 0) return Ref();
        if (is_status) {
            t.status = static_cast<uint8_t*>(data);
        } else {
            t.out[k] = static_cast<double*>(data);
        }
    }
    if (messages) t.messages = std::make_unique<std::vector<std::string>>(t.layout.size);
    return dict;
}

using Range = void (*)(const Task&, Job&, std::size_t, std::size_t);

// The job over the task's elements, run on `threads` threads; false with
// the exception set when it was interrupted or ran out of memory.
bool run_task(const std::shared_ptr<Task>& task, Range range, unsigned threads) {
    const std::size_t n = task->layout.size;
    if (n == 0) return true;
    auto job = std::make_shared<Job>();
    job->size = n;
    job->min_chunk = task->min_chunk;
    job->chunk = std::clamp<std::size_t>(n / (std::size_t{threads} * 16), task->min_chunk, 1024) / task->min_chunk *
                 task->min_chunk;
    job->max_workers = static_cast<unsigned>(std::min<std::size_t>(threads, (n + job->chunk - 1) / job->chunk));
    Job* raw = job.get();
    job->body = [task, raw, range](std::size_t b, std::size_t e) {
        try {
            range(*task, *raw, b, e);
        } catch (const std::exception&) {
            task->out_of_memory.store(true, std::memory_order_relaxed);
            raw->cancel.store(true, std::memory_order_relaxed);
        }
    };
    if (!run_job(job)) return false;
    if (task->out_of_memory.load(std::memory_order_relaxed)) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

// One call of an entry point: the arguments both read, the inputs it
// stages and the outputs, then the job.  Python references and views are
// given back by run(), never by a destructor, so that a thread the
// interpreter ends at exit touches no Python object as it unwinds.
class Call {
public:
    Call(Frame& frame, std::optional<ValuationTime>& when, std::optional<ConfigTableOf>& config,
         std::optional<Threads> threads, std::optional<Flag> messages, std::optional<Given> out,
         std::optional<Flag> names)
        : task_(std::make_shared<Task>()), threads_(threads ? threads->count : 0), messages_(messages && messages->on),
          names_(names && names->on), out_(out ? out->o : nullptr) {
        task_->market = std::move(frame.record);
        task_->valuation = when ? when->value : py::now_instant();
        if (config) task_->config = std::move(config->table);
    }

    Task& task() { return *task_; }
    Arguments& inputs() { return inputs_; }

    // Stages the option's columns (every hook of the caller's objects runs
    // before the first view is taken).
    bool stage_option(Given strike, Given expiry, Given type, Given style, std::optional<Given> spot) {
        return inputs_.stage(kStrike, strike.o, "strike") && inputs_.stage(kExpiry, expiry.o, "expiry") &&
               inputs_.stage(kType, type.o, "option_type") && inputs_.stage(kStyle, style.o, "exercise_style") &&
               stage_optional(kSpot, spot, "spot");
    }
    bool stage_optional(Col col, std::optional<Given> arg, const char* name) {
        return !arg || inputs_.stage(col, arg->o, name);
    }

    // Takes the views, makes the outputs and runs the job: the result
    // dictionary, or nullptr with the exception set.
    Ref run(Range range, const char* const* outputs, int count) {
        Ref dict = prepare(outputs, count);
        if (dict && !run_task(task_, range, threads_)) dict = Ref();
        if (dict && task_->messages) {
            const Ref list = message_list(*task_);
            if (!list || PyDict_SetItemString(dict.get(), "message", list.get()) < 0) dict = Ref();
        }
        if (dict && names_) {
            const Ref named = status_names(PyDict_GetItem(dict.get(), result_key("status")));
            if (!named || PyDict_SetItem(dict.get(), result_key("status_name"), named.get()) < 0) dict = Ref();
        }
        given_.release();
        inputs_.release();
        return dict;
    }

private:
    Ref prepare(const char* const* outputs, int count) {
        Task& t = *task_;
        if (!given_.collect(out_) || !inputs_.take_views() || !inputs_.broadcast(t.layout) ||
            !given_.read(outputs, count, t.layout, inputs_)) {
            return Ref();
        }
        t.converted = inputs_.converted();
        if (t.layout.size > t.min_chunk) {
            if (threads_ == 0) threads_ = default_workers(t.layout.size);
            reserve_workers(threads_ - 1);  // the calling thread is one of them
        } else {
            threads_ = 1;  // one chunk
        }
        return make_outputs(t, outputs, count, messages_, given_);
    }

    std::shared_ptr<Task> task_;
    Arguments inputs_;
    GivenOutputs given_;
    unsigned threads_;  // 0: as many as there are cores
    bool messages_;
    bool names_;
    PyObject* out_;  // borrowed: the caller's output arrays
};

// ---------------------------------------------------------------------------
// Entry points

const char* const kValueOutputs[] = {"price", "delta", "gamma", "theta", "vega", "rho"};

Ref value(Frame market_frame, Given strike, Given expiry, Given option_type, Given exercise_style,
          std::optional<ValuationTime> valuation_time, std::optional<ConfigTableOf> config, std::optional<Given> spot,
          std::optional<Given> vol, std::optional<Threads> threads, std::optional<Flag> messages,
          std::optional<Given> out, std::optional<Flag> status_names) {
    Call call(market_frame, valuation_time, config, threads, messages, out, status_names);
    if (!call.stage_option(strike, expiry, option_type, exercise_style, spot) ||
        !call.stage_optional(kVol, vol, "vol")) {
        return Ref();
    }
    return call.run(value_range, kValueOutputs, 6);
}

const char* const kImpliedOutputs[] = {"vol"};

Ref implied_vol(Frame market_frame, Given target, Given strike, Given expiry, Given option_type, Given exercise_style,
                std::optional<ValuationTime> valuation_time, std::optional<ConfigTableOf> config,
                std::optional<Given> spot, std::optional<Positive> low, std::optional<Positive> high,
                std::optional<Positive> tolerance, std::optional<Threads> threads, std::optional<Flag> messages,
                std::optional<Given> out, std::optional<Flag> status_names) {
    Call call(market_frame, valuation_time, config, threads, messages, out, status_names);
    VolSearch& s = call.task().search;
    s.refuse_at_exercise_value = true;
    s.refuse_invalid_inputs = true;
    s.exact_by_default = true;
    call.task().min_chunk = kVolChunk;
    if (low) s.low = low->value;
    if (high) s.high = high->value;
    if (tolerance) s.tolerance = tolerance->value;
    if (!call.stage_option(strike, expiry, option_type, exercise_style, spot) ||
        !call.inputs().stage(kTarget, target.o, "target")) {
        return Ref();
    }
    if (s.low && s.high && !(*s.low < *s.high)) {
        const std::string text =
            "low (" + format_shortest(*s.low) + ") must be below high (" + format_shortest(*s.high) + ")";
        PyErr_SetString(PyExc_ValueError, text.c_str());
        return Ref();
    }
    return call.run(implied_vol_range, kImpliedOutputs, 1);
}

long long default_threads() { return available_cores(); }

// The functions' documentation, after their text signatures.
constexpr char kArgumentsDoc[] =
    "Arguments are broadcast together like numpy operands.  Expiries are numpy\n"
    "datetime64 values (read as UTC; units finer than a microsecond are floored to\n"
    "the microsecond) or timezone-aware datetimes.  Option types are codes (Call 0,\n"
    "Put 1), OptionType members or the texts 'C', 'P', 'call', 'put'; exercise\n"
    "styles codes (American 0, European 1), ExerciseStyle members or the texts\n"
    "'american', 'european' (texts in any case, alone, in sequences, in numpy\n"
    "arrays or in pandas categoricals, whose missing values are INVALID_INPUT).\n"
    "spot (and for value, vol) replace the frame's per element.  valuation_time\n"
    "defaults to now; threads to every core (a call with less work than waking a\n"
    "thread costs keeps to the calling thread).\n\n"
    "The result is a dict of arrays of the broadcast shape plus \"status\" (uint8,\n"
    "one of the module's status constants per element); with messages=True,\n"
    "\"message\": a flat list in C\n"
    "order of the text the object API would have raised for each failed element,\n"
    "None elsewhere; with status_names=True, \"status_name\": the statuses' names,\n"
    "so that pandas.DataFrame(result) shows them.  out maps output names to\n"
    "writable, C-contiguous arrays of the broadcast shape, float64 (uint8 for\n"
    "\"status\"), sharing no memory with an input or another output, which\n"
    "receive those outputs in place and are returned in the dict.";

const std::string kValueDoc = std::string(
    "Price and Greeks of every option the broadcast arrays describe: arrays\n"
    "\"price\", \"delta\", \"gamma\", \"theta\", \"vega\" and \"rho\" (NaN where the\n"
    "method gives none, and for a failed element).\n\n") + kArgumentsDoc;

const std::string kImpliedDoc = std::string(
    "Implied volatility of every option the broadcast arrays describe: the\n"
    "array \"vol\" of the volatilities that reproduce each target price.\n\n"
    "Options priced by the closed form (an analytic or unset slot, so every\n"
    "European option by default) are inverted exactly, to full double\n"
    "precision; there low and high filter the answer (default 0 and infinity:\n"
    "an answer outside them gets NOT_BRACKETED and NaN) and tolerance plays no\n"
    "part.  Other options are searched between low and high (default 0.1 and\n"
    "5.0) to the price tolerance (default the configuration's, 1e-4).  A\n"
    "configuration's implied_vol_solver chooses otherwise.  A target at or\n"
    "below the exercise value gets AT_EXERCISE_VALUE.\n\n") + kArgumentsDoc;

PyMethodDef methods[] = {
    py::function<"value", value, "market_frame", "strike", "expiry", "option_type", "exercise_style",
                 "valuation_time", "config", "spot", "vol", "threads", "messages", "out", "status_names">(
        kValueDoc.c_str()),
    py::function<"implied_vol", implied_vol, "market_frame", "target", "strike", "expiry", "option_type",
                 "exercise_style", "valuation_time", "config", "spot", "low", "high", "tolerance", "threads",
                 "messages", "out", "status_names">(kImpliedDoc.c_str()),
    py::function<"fit_surface", fit_surface_entry, "market_frame", "expiry", "strike", "option_type",
                 "exercise_style", "price", "vol", "bid", "ask", "valuation_time", "config">(kFitSurfaceDoc),
    py::function<"european_equivalents", european_equivalents_entry, "market_frame", "expiry", "strike",
                 "option_type", "exercise_style", "price", "vol", "bid", "ask", "valuation_time", "config">(
        kEuropeanEquivalentsDoc),
    py::function<"check_surface", check_surface_entry, "surface", "k", "t", "tolerance">(kCheckSurfaceDoc),
    py::function<"default_threads", default_threads>(
        "Threads a call uses at most when threads is not given: the cores this process may run on."),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "zub_batch",
    "Valuation and implied volatility over arrays of options, on every core.", -1, nullptr,
    nullptr, nullptr, nullptr, nullptr,
};

// The status codes as module constants, and their names by code.
bool add_statuses(PyObject* m) {
    const Ref names = Ref::steal(PyTuple_New(kStatusCount));
    for (int s = 0; names && s < kStatusCount; ++s) {
        Ref name = Ref::steal(PyUnicode_FromString(kStatusNames[s]));
        if (!name || PyModule_AddIntConstant(m, kStatusNames[s], s) < 0) return false;
        PyTuple_SetItem(names.get(), s, name.release());
    }
    if (!names || PyModule_AddObjectRef(m, "STATUS_NAMES", names.get()) < 0) return false;
    const Ref array = Ref::steal(PyObject_GetAttrString(np.module.get(), "array"));
    const Ref kwargs = Ref::steal(array ? Py_BuildValue("{sO}", "dtype", &PyBaseObject_Type) : nullptr);
    const Ref args = Ref::steal(kwargs ? PyTuple_Pack(1, names.get()) : nullptr);
    if (args) status_name_array = Ref::steal(PyObject_Call(array.get(), args.get(), kwargs.get()));
    return static_cast<bool>(status_name_array);
}

PyObject* init() {
    if (!load_numpy() || !load_zub_classes()) return nullptr;
    Ref m = Ref::steal(PyModule_Create(&module_def));
    if (!m || PyModule_AddFunctions(m.get(), methods) < 0 || !add_statuses(m.get()) ||
        !add_surface_constants(m.get())) {
        return nullptr;
    }
    // reducers for pickle and copy
    if (zub_batch_register_reducers != nullptr && zub_batch_register_reducers(m.get()) != 0) return nullptr;
    install_fork_handler();
    return m.release();
}

}  // namespace
}  // namespace zub::batch

extern "C" PyMODINIT_FUNC PyInit_zub_batch(void) {
    return zub::py::guarded<PyObject*>(nullptr, [] { return zub::batch::init(); });
}
