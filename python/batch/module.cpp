// zub_batch: valuation and implied volatility over arrays of options, on a
// pool of threads with the interpreter lock released.
//
// Elements are priced in blocks by value_options and implied_volatilities,
// which give each option exactly what zub's object API gets from
// value_option and implied_volatility, so its numbers are those the object
// API gives for that option, bit for bit.  A failing element does not fail
// the call: its outputs are NaN and its status says what the object API
// would have raised.
#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "arrays.hpp"
#include "surface.hpp"
#include "core/number_text.hpp"
#include "datetime_conv.hpp"
#include "declare.hpp"
#include "execution/valuation.hpp"
#include "expiry_table.hpp"
#include "orchestration/fdm.hpp"
#include "pool.hpp"
#include "records.hpp"

// Registers the pickle and copy reducers of zub's classes; defined, when it
// is, by another file of this module (a hidden weak reference is null when
// no file defines it).
extern "C" int zub_batch_register_reducers(PyObject* module) __attribute__((weak, visibility("hidden")));

namespace zub::batch {
namespace {

using py::Signature;

enum Status : uint8_t {
    kOk,
    kExpired,
    kDayCountMismatch,
    kNotBracketed,
    kNotConverged,
    kAtExerciseValue,
    kNotImplemented,
    kEngineFailure,
    kInvalidInput,
    kStatusCount,
};

const char* const kStatusNames[kStatusCount] = {
    "OK",           "EXPIRED",         "DAY_COUNT_MISMATCH", "NOT_BRACKETED", "NOT_CONVERGED",
    "AT_EXERCISE_VALUE", "NOT_IMPLEMENTED", "ENGINE_FAILURE", "INVALID_INPUT",
};

uint8_t status_of(const Error& e) noexcept {
    switch (e.reason) {
        case Reason::Expired:
            return kExpired;
        case Reason::DayCountMismatch:
            return kDayCountMismatch;
        case Reason::NotBracketed:
            return kNotBracketed;
        case Reason::NotConverged:
            return kNotConverged;
        case Reason::NotImplemented:
            return kNotImplemented;
        case Reason::AtExerciseValue:
            return kAtExerciseValue;
        case Reason::InvalidInput:
            return kInvalidInput;
        case Reason::Unspecified:
            break;
    }
    return kEngineFailure;
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// What a job reads and writes.  Owned by the job (through its body), so it
// stays valid for the workers even when the calling thread is ended early.
struct Task {
    std::shared_ptr<const MarketRecord> market;
    std::shared_ptr<const ConfigTable> config;
    std::shared_ptr<std::vector<ConvertedExpiry>> converted;
    Instant valuation;
    Layout layout;
    VolSearch search;
    // The fewest elements a worker takes at a time: at least a block that
    // the pricing prices as fast per option as a larger one.
    std::size_t min_chunk = block_granularity();
    // Outputs: valuation fills price..rho, implied volatility fills vol.
    double* out[6] = {};
    uint8_t* status = nullptr;
    std::unique_ptr<std::vector<std::string>> messages;  // only when asked for
    // Each expiry converted once per worker, whatever the order of the book.
    mutable ExpiryTables expiry_tables;
    // An allocation failed outside any element's guard (storing a message).
    std::atomic<bool> out_of_memory{false};

    const ConfigTable& table() const noexcept { return config ? *config : ConfigTable::defaults(); }

    void fail(std::size_t i, uint8_t s, const char* message, int outputs) const {
        for (int k = 0; k < outputs; ++k) out[k][i] = kNaN;
        status[i] = s;
        if (messages) (*messages)[i] = message;
    }
};

// The option type and exercise style of the walker's element; false after
// marking the element INVALID_INPUT.
bool read_codes(const Task& t, const Walker& w, std::size_t i, int outputs, OptionType& type, ExerciseStyle& style) {
    const uint64_t type_code = read_code(t.layout, w, kType);
    const uint64_t style_code = read_code(t.layout, w, kStyle);
    if (type_code != 0 && type_code != 1) {
        t.fail(i, kInvalidInput, "option type code must be 0 (Call) or 1 (Put)", outputs);
        return false;
    }
    if (style_code != 0 && style_code != 1) {
        t.fail(i, kInvalidInput, "exercise style code must be 0 (American) or 1 (European)", outputs);
        return false;
    }
    type = static_cast<OptionType>(type_code);
    style = static_cast<ExerciseStyle>(style_code);
    return true;
}

// The option and the per-element market of the walker's element; false
// after marking the element INVALID_INPUT.
bool read_element(const Task& t, const Walker& w, std::size_t i, int outputs, ExpiryCache& cache,
                  VanillaOption& option, MarketOverrides& market) {
    uint8_t problem = 0;
    if (!read_expiry(t.layout, w, cache, option.expiry, problem)) {
        t.fail(i, kInvalidInput, expiry_problem_text(problem), outputs);
        return false;
    }
    if (!read_codes(t, w, i, outputs, option.type, option.style)) return false;
    option.strike = w.get<double>(kStrike);
    if (t.layout.base[kSpot] != nullptr) market.spot = w.get<double>(kSpot);
    if (t.layout.base[kVol] != nullptr) market.vol = w.get<double>(kVol);
    return true;
}

// OK promises finite numbers: the message for the first field of a result
// that is not finite, or null.
const char* non_finite_field(const OptionResult& r) noexcept {
    const auto bad = [](double x) { return !std::isfinite(x); };
    if (bad(r.price)) return "the method gave a price that is not finite";
    if (bad(r.greeks.delta) || bad(r.greeks.gamma) || bad(r.greeks.theta) ||
        (r.greeks.vega && bad(*r.greeks.vega)) || (r.greeks.rho && bad(*r.greeks.rho))) {
        return "the method gave a Greek that is not finite";
    }
    return nullptr;
}

// Runs one element's pricing call; an exception escaping the core becomes
// the element's ENGINE_FAILURE.  False when the job was cancelled.
template <class Price>
bool guarded_element(const Task& t, std::size_t i, int outputs, Price&& price) {
    try {
        return price();
    } catch (const std::bad_alloc&) {
        t.fail(i, kEngineFailure, "out of memory", outputs);
    } catch (const std::exception& e) {
        t.fail(i, kEngineFailure, e.what(), outputs);
    }
    return true;
}

// Finite-difference buffers of one range of elements, kept from one range
// to the next on a shelf of lock-free slots: there are about as many as
// ranges ever ran at once, and a forked child never waits on a lock that
// its parent's threads held.  Buffers that a range grew beyond
// kKeptWorkspaceBytes are freed instead.
class WorkspaceLease {
public:
    FdmLaneWorkspace ws;

    WorkspaceLease() noexcept {
        for (std::atomic<FdmLaneWorkspace*>& slot : shelf) {
            // Empty slots are only read: ranges that never solve by finite
            // differences leave the shelf empty, and a write to every slot
            // would bounce its lines between cores on each range.
            if (slot.load(std::memory_order_relaxed) == nullptr) continue;
            std::unique_ptr<FdmLaneWorkspace> kept(slot.exchange(nullptr));
            if (!kept) continue;
            ws.swap(*kept);
            return;
        }
    }
    WorkspaceLease(const WorkspaceLease&) = delete;
    WorkspaceLease& operator=(const WorkspaceLease&) = delete;
    ~WorkspaceLease() {
        const std::size_t bytes = ws.bytes();
        if (bytes == 0 || bytes > kKeptWorkspaceBytes) return;
        std::unique_ptr<FdmLaneWorkspace> kept(new (std::nothrow) FdmLaneWorkspace);
        if (!kept) return;
        kept->swap(ws);
        for (std::atomic<FdmLaneWorkspace*>& slot : shelf) {
            FdmLaneWorkspace* empty = nullptr;
            if (slot.compare_exchange_strong(empty, kept.get())) {
                static_cast<void>(kept.release());  // the shelf owns it now
                return;
            }
        }
    }

private:
    static constexpr std::size_t kKeptWorkspaceBytes = std::size_t{64} << 20;
    static inline std::array<std::atomic<FdmLaneWorkspace*>, 64> shelf{};
};

// Elements are valued in blocks, so that neighbours share what depends on
// their expiry alone and their finite-difference solves can step together.
constexpr std::size_t kValueBlock = 48;

// One element's price and Greeks into the outputs, or its failure when one
// of them is not finite (OK promises finite numbers).
void store_result(const Task& t, std::size_t at, const OptionResult& r) {
    if (const char* field = non_finite_field(r)) {
        t.fail(at, kEngineFailure, field, 6);
        return;
    }
    t.out[0][at] = r.price;
    t.out[1][at] = r.greeks.delta;
    t.out[2][at] = r.greeks.gamma;
    t.out[3][at] = r.greeks.theta;
    t.out[4][at] = r.greeks.vega.value_or(kNaN);
    t.out[5][at] = r.greeks.rho.value_or(kNaN);
    t.status[at] = kOk;
}

// The elements of a block that the closed form alone prices, side by side
// for black_scholes_block, and where each goes.
struct ClosedFormElements {
    std::array<OptionType, kValueBlock> type;
    std::array<double, kValueBlock> strike, spot, vol;
    std::array<const Horizon*, kValueBlock> horizon;
    std::array<std::size_t, kValueBlock> where;
    std::array<double, kValueBlock> price, delta, gamma, theta, vega, rho;
    std::size_t count = 0;

    // Prices them into the task's outputs.
    void price_into(const Task& t) {
        black_scholes_block({type.data(), strike.data(), spot.data(), vol.data(), horizon.data()}, count,
                            {price.data(), delta.data(), gamma.data(), theta.data(), vega.data(), rho.data()});
        double* const to[6] = {t.out[0], t.out[1], t.out[2], t.out[3], t.out[4], t.out[5]};
        uint8_t* const status = t.status;
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t at = where[k];
            if (std::isfinite(price[k] + delta[k] + gamma[k] + theta[k] + vega[k] + rho[k])) [[likely]] {
                to[0][at] = price[k], to[1][at] = delta[k], to[2][at] = gamma[k];
                to[3][at] = theta[k], to[4][at] = vega[k], to[5][at] = rho[k];
                status[at] = kOk;
                continue;
            }
            OptionResult r;
            r.price = price[k], r.greeks.delta = delta[k], r.greeks.gamma = gamma[k], r.greeks.theta = theta[k];
            r.greeks.vega = vega[k], r.greeks.rho = rho[k];
            store_result(t, at, r);
        }
        count = 0;
    }
};

bool finite_positive(double x) noexcept { return x > 0.0 && x < std::numeric_limits<double>::infinity(); }

void value_range(const Task& t, Job& job, std::size_t begin, std::size_t end) {
    Walker w(t.layout, begin);
    const CancelCheck cancel = job.cancel_check();
    const MarketRecord& market = *t.market;
    const ConfigTable& config = t.table();
    // Where the day counts disagree (or a curve has none) every element
    // fails, on the general path.
    bool day_counts_agree = false;
    try {
        day_counts_agree = market.rate_curve.day_count() == market.vol_surface.day_count();
    } catch (const std::exception&) {
    }
    std::array<ClosedFormRule, 4> rules{};
    for (const ExerciseStyle style : {ExerciseStyle::American, ExerciseStyle::European}) {
        for (const OptionType type : {OptionType::Call, OptionType::Put}) {
            rules[ConfigTable::slot_index(style, type)] =
                day_counts_agree ? closed_form_rule(config, style, type) : ClosedFormRule::Never;
        }
    }
    const bool spot_given = t.layout.base[kSpot] != nullptr, vol_given = t.layout.base[kVol] != nullptr;
    ExpiryTables::Lease expiries(t.expiry_tables);
    ClosedFormElements closed;  // about 4.6 KB, on the stack
    std::array<VanillaOption, kValueBlock> options;
    std::array<MarketOverrides, kValueBlock> markets;
    std::array<std::size_t, kValueBlock> where{};
    std::array<std::optional<Outcome<OptionResult>>, kValueBlock> results;
    WorkspaceLease lease;
    for (std::size_t i = begin; i < end && !job.cancelled();) {
        std::size_t count = 0, fast = 0;
        for (; i < end && count + fast < kValueBlock; ++i, w.next()) {
            uint8_t problem = 0;
            const ExpiryTable::Entry* expiry = expiries->find(t.layout, w, market, t.valuation, problem);
            if (expiry == nullptr) {
                t.fail(i, kInvalidInput, expiry_problem_text(problem), 6);
                continue;
            }
            OptionType type;
            ExerciseStyle style;
            if (!read_codes(t, w, i, 6, type, style)) continue;
            const double strike = w.get<double>(kStrike);
            const double spot = spot_given ? w.get<double>(kSpot) : market.spot;
            const ExpiryTerms& terms = expiry->terms;
            if (terms.T > 0.0 && std::isfinite(terms.rate) && std::isfinite(terms.carry) &&
                priced_by_closed_form(rules[ConfigTable::slot_index(style, type)], terms.rate, terms.carry)) {
                const double vol = vol_given ? w.get<double>(kVol) : VolSurface::volatility(terms.vol, strike);
                if (finite_positive(strike) && finite_positive(spot) && finite_positive(vol)) {
                    closed.type[fast] = type, closed.strike[fast] = strike;
                    closed.spot[fast] = spot, closed.vol[fast] = vol;
                    closed.horizon[fast] = &terms.closed, closed.where[fast] = i;
                    ++fast;
                    continue;
                }
            }
            options[count] = {.strike = strike, .expiry = expiry->instant, .type = type, .style = style};
            markets[count] = {.spot = {}, .vol = {}, .refuse_invalid_inputs = true};
            if (spot_given) markets[count].spot = spot;
            if (vol_given) markets[count].vol = w.get<double>(kVol);
            where[count++] = i;
        }
        closed.count = fast;
        closed.price_into(t);
        if (count == 0) continue;
        for (std::size_t k = 0; k < count; ++k) results[k].reset();
        try {
            value_options({options.data(), count}, {markets.data(), count}, market, config, t.valuation, cancel,
                          {results.data(), count}, &lease.ws);
        } catch (const std::exception&) {
            // Valued again one by one below, each element with its own failure.
        }
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t at = where[k];
            if (!results[k]) {
                guarded_element(t, at, 6, [&] {
                    results[k] = value_option(options[k], market, config, t.valuation, cancel, markets[k]);
                    return true;
                });
                if (!results[k]) continue;  // its failure is stored
            }
            const Outcome<OptionResult>& r = *results[k];
            if (!r) {
                if (r.error().kind == ErrorKind::Cancelled) return;
                t.fail(at, status_of(r.error()), r.error().message.c_str(), 6);
                continue;
            }
            store_result(t, at, *r);
        }
    }
}

// One element's implied volatility into the outputs; false when the job was
// cancelled.
bool store_vol(const Task& t, std::size_t i, const Outcome<double>& v) {
    if (!v) {
        if (v.error().kind == ErrorKind::Cancelled) return false;
        t.fail(i, status_of(v.error()), v.error().message.c_str(), 1);
        return true;
    }
    if (!std::isfinite(*v)) {
        t.fail(i, kEngineFailure, "the search gave a volatility that is not finite", 1);
        return true;
    }
    t.out[0][i] = *v;
    t.status[i] = kOk;
    return true;
}

// Elements are solved in blocks, so that their searches can share lanes of
// finite-difference trials (implied_volatilities); the longer the block, the
// less often lanes idle while its last searches finish.  Workers take at
// least kVolChunk elements for the same reason.
constexpr std::size_t kVolBlock = 64;
constexpr std::size_t kVolChunk = 32;

void implied_vol_range(const Task& t, Job& job, std::size_t begin, std::size_t end) {
    Walker w(t.layout, begin);
    const CancelCheck cancel = job.cancel_check();
    ExpiryCache cache;
    std::array<VanillaOption, kVolBlock> options;
    std::array<double, kVolBlock> targets{};
    std::array<std::optional<double>, kVolBlock> spots;
    std::array<std::size_t, kVolBlock> where{};
    WorkspaceLease lease;
    for (std::size_t i = begin; i < end && !job.cancelled();) {
        std::size_t count = 0;
        for (; i < end && count < kVolBlock; ++i, w.next()) {
            MarketOverrides market;
            if (!read_element(t, w, i, 1, cache, options[count], market)) continue;
            targets[count] = w.get<double>(kTarget);
            spots[count] = market.spot;
            where[count++] = i;
        }
        if (count == 0) continue;
        std::array<std::optional<Outcome<double>>, kVolBlock> results;
        try {
            implied_volatilities({options.data(), count}, {targets.data(), count}, {spots.data(), count},
                                 *t.market, t.table(), t.valuation, cancel, t.search, {results.data(), count},
                                 &lease.ws);
        } catch (const std::exception&) {
            // Solved again one by one below, each element with its own failure.
        }
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t at = where[k];
            const bool go_on = results[k] ? store_vol(t, at, *results[k]) : guarded_element(t, at, 1, [&] {
                return store_vol(t, at, implied_volatility(options[k], *t.market, t.table(), t.valuation,
                                                           targets[k], cancel, t.search, spots[k]));
            });
            if (!go_on) return;
        }
    }
}

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
    {"fit_surface", py::as_cfunction(fit_surface_entry), py::kFastKw, kFitSurfaceDoc},
    {"european_equivalents", py::as_cfunction(european_equivalents_entry), py::kFastKw, kEuropeanEquivalentsDoc},
    {"check_surface", py::as_cfunction(check_surface_entry), py::kFastKw, kCheckSurfaceDoc},
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
    ok = ok && add_surface_constants(m);
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
