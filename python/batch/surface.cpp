// Volatility surfaces from arrays of quotes: the European-equivalent vols,
// the fitted surface, and the arbitrage check of any surface.
#include "surface.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "arrays.hpp"
#include "execution/surface_fit.hpp"
#include "records.hpp"

namespace zub::batch {
namespace {

using py::Ref;

const char* const kQuoteParams[] = {"market_frame", "expiry",    "strike", "option_type",    "exercise_style",
                                    "price",        "vol",       "bid",    "ask",            "valuation_time",
                                    "config"};
constexpr py::Signature kFitSig{"fit_surface", kQuoteParams, 11, 5};
constexpr py::Signature kEquivalentSig{"european_equivalents", kQuoteParams, 11, 5};
const char* const kCheckParams[] = {"surface", "k", "t", "tolerance"};
constexpr py::Signature kCheckSig{"check_surface", kCheckParams, 4, 1};

// The quotes of a call, read from broadcast arrays.
struct QuoteInputs {
    std::shared_ptr<const MarketRecord> market;
    std::shared_ptr<const ConfigTable> config;
    Instant valuation;
    std::vector<SurfaceQuote> quotes;
    Ref shape;  // the broadcast shape, for the per-quote outputs
};

bool read_valuation_time(PyObject* o, Instant& out) {
    if (o == nullptr || o == Py_None) {
        out = py::now_instant();
        return true;
    }
    return py::require_datetime(o, "valuation_time") &&
           py::aware_instant(o, py::Rounding::Floor,
                             "Evaluation time must have a timezone specified (e.g. New York or UTC)",
                             "Invalid timestamp", out);
}

// Bid and ask, broadcast on their own: each a scalar or of the quotes' shape.
bool read_spread(PyObject* bid, PyObject* ask, const Layout& quotes, std::vector<SurfaceQuote>& out) {
    if ((bid == nullptr || bid == Py_None) && (ask == nullptr || ask == Py_None)) return true;
    if (bid == nullptr || bid == Py_None || ask == nullptr || ask == Py_None) {
        PyErr_SetString(PyExc_ValueError, "bid and ask must be given together");
        return false;
    }
    Arguments args;
    Layout layout;
    const bool ok = args.stage(kTarget, bid, "bid") && args.stage(kVol, ask, "ask") && args.take_views() &&
                    args.broadcast(layout);
    if (ok && layout.size != 1 && layout.shape != quotes.shape) {
        args.release();
        PyErr_SetString(PyExc_ValueError, "bid and ask must be scalars or of the quotes' broadcast shape");
        return false;
    }
    if (ok) {
        Walker w(layout, 0);
        for (SurfaceQuote& q : out) {
            q.bid = w.get<double>(kTarget), q.ask = w.get<double>(kVol);
            if (layout.size != 1) w.next();
        }
    }
    args.release();
    return ok;
}

bool read_columns(Arguments& args, Layout& layout, PyObject* const* p, std::vector<SurfaceQuote>& out) {
    if (!args.stage(kExpiry, p[1], "expiry") || !args.stage(kStrike, p[2], "strike") ||
        !args.stage(kType, p[3], "option_type") || !args.stage(kStyle, p[4], "exercise_style"))
        return false;
    const auto given = [&](int k) { return p[k] != nullptr && p[k] != Py_None; };
    const bool price = given(5), vol = given(6);
    if (price && vol) {
        PyErr_SetString(PyExc_ValueError, "give price or vol, not both");
        return false;
    }
    if (!price && !vol && !(given(7) && given(8))) {
        PyErr_SetString(PyExc_ValueError, "give price, vol, or bid and ask");
        return false;
    }
    if ((price && !args.stage(kTarget, p[5], "price")) || (vol && !args.stage(kVol, p[6], "vol")) ||
        !args.take_views() || !args.broadcast(layout))
        return false;
    out.resize(layout.size);
    Walker w(layout, 0);
    ExpiryCache cache;
    for (std::size_t i = 0; i < layout.size; ++i, w.next()) {
        SurfaceQuote& q = out[i];
        uint8_t problem = 0;
        if (!read_expiry(layout, w, cache, q.option.expiry, problem)) {
            PyErr_Format(PyExc_ValueError, "expiry at index %zu: %s", i, expiry_problem_text(problem));
            return false;
        }
        const uint64_t type = read_code(layout, w, kType), style = read_code(layout, w, kStyle);
        if (type > 1 || style > 1) {
            PyErr_Format(PyExc_ValueError, "option type and exercise style codes must be 0 or 1 (index %zu)", i);
            return false;
        }
        q.option.type = static_cast<OptionType>(type);
        q.option.style = static_cast<ExerciseStyle>(style);
        q.option.strike = w.get<double>(kStrike);
        q.price = price ? w.get<double>(kTarget) : NAN;
        q.vol = vol ? w.get<double>(kVol) : NAN;
        q.bid = q.ask = NAN;
    }
    return true;
}

bool read_quotes(PyObject* const* args, Py_ssize_t nargs, PyObject* kw, const py::Signature& sig, QuoteInputs& in) {
    PyObject* p[11] = {};
    if (!py::bind(sig, args, nargs, kw, p)) return false;
    if (!read_frame(p[0], "market_frame", in.market) || !read_valuation_time(p[9], in.valuation) ||
        !read_config(p[10], "config", in.config))
        return false;
    Arguments columns;
    Layout layout;
    const bool ok = read_columns(columns, layout, p, in.quotes);
    columns.release();
    if (!ok || !read_spread(p[7], p[8], layout, in.quotes)) return false;
    in.shape = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(layout.shape.size())));
    if (!in.shape) return false;
    for (std::size_t d = 0; d < layout.shape.size(); ++d)
        if (PyTuple_SetItem(in.shape.get(), static_cast<Py_ssize_t>(d), PyLong_FromSsize_t(layout.shape[d])) != 0)
            return false;
    return true;
}

// ---------------------------------------------------------------------------
// Outputs

bool put(PyObject* dict, const char* key, Ref value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

Ref float_array(PyObject* shape, const std::vector<double>& values) {
    void* data = nullptr;
    Ref a = Ref::steal(new_output(shape, values.size(), false, data));
    if (a) std::copy(values.begin(), values.end(), static_cast<double*>(data));
    return a;
}

Ref flat_shape(std::size_t n) { return Ref::steal(Py_BuildValue("(n)", static_cast<Py_ssize_t>(n))); }

Ref float_vector(const std::vector<double>& values) {
    const Ref shape = flat_shape(values.size());
    return shape ? float_array(shape.get(), values) : Ref();
}

// Per expiry: its time in microseconds since the epoch (as datetime64[us]),
// horizon, forward, carry, whether the carry came from the quotes, the
// quotes used, and its status ("used", "no usable quote", "expired").
Ref expiry_table(const std::vector<ChainExpiry>& expiries) {
    std::vector<double> t, forward, carry, implied, used;
    Ref micros = Ref::steal(PyList_New(0)), status = Ref::steal(PyList_New(0));
    if (!micros || !status) return {};
    for (const ChainExpiry& e : expiries) {
        const char* said = !(e.T > 0.0) ? "expired" : e.used == 0 ? "no usable quote" : "used";
        const Ref text = Ref::steal(PyUnicode_FromString(said));
        if (!text || PyList_Append(status.get(), text.get()) != 0) return {};
        const int64_t us = (int64_t{e.expiry.date.days_since_epoch()} * 86400 + e.expiry.secs) * 1000000 +
                           e.expiry.nanos / 1000;
        const Ref item = Ref::steal(PyLong_FromLongLong(us));
        if (!item || PyList_Append(micros.get(), item.get()) != 0) return {};
        t.push_back(e.T), forward.push_back(e.forward), carry.push_back(e.carry);
        implied.push_back(e.carry_implied ? 1.0 : 0.0), used.push_back(static_cast<double>(e.used));
    }
    const Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    const Ref array = numpy ? Ref::steal(PyObject_GetAttrString(numpy.get(), "array")) : Ref();
    const Ref stamps =
        array ? Ref::steal(PyObject_CallFunction(array.get(), "Os", micros.get(), "datetime64[us]")) : Ref();
    Ref table = Ref::steal(PyDict_New());
    if (!stamps || !table || !put(table.get(), "expiry", Ref::borrow(stamps.get())) ||
        !put(table.get(), "t", float_vector(t)) || !put(table.get(), "forward", float_vector(forward)) ||
        !put(table.get(), "carry", float_vector(carry)) || !put(table.get(), "carry_implied", float_vector(implied)) ||
        !put(table.get(), "used", float_vector(used)) || !put(table.get(), "status", std::move(status)))
        return {};
    return table;
}

Ref equivalents_dict(const QuoteInputs& in, const EuropeanEquivalents& eq) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return {};
    void* data = nullptr;
    Ref status = Ref::steal(new_output(in.shape.get(), eq.status.size(), true, data));
    if (!status) return {};
    for (std::size_t i = 0; i < eq.status.size(); ++i) static_cast<uint8_t*>(data)[i] = static_cast<uint8_t>(eq.status[i]);
    if (!put(dict.get(), "status", std::move(status)) || !put(dict.get(), "vol", float_array(in.shape.get(), eq.vol)) ||
        !put(dict.get(), "european_price", float_array(in.shape.get(), eq.price)) ||
        !put(dict.get(), "expiries", expiry_table(eq.expiries)))
        return {};
    return dict;
}

PyObject* raise(const Error& e) {
    py::raise_error(e);
    return nullptr;
}

// ---------------------------------------------------------------------------
// The check

bool read_grid(PyObject* o, const char* name, std::vector<double>& out) {
    if (o == nullptr || o == Py_None) return true;
    Arguments args;
    Layout layout;
    const bool ok = args.stage(kTarget, o, name) && args.take_views() && args.broadcast(layout);
    if (ok) {
        out.clear();
        Walker w(layout, 0);
        for (std::size_t i = 0; i < layout.size; ++i, w.next()) out.push_back(w.get<double>(kTarget));
    }
    args.release();
    if (ok && !std::is_sorted(out.begin(), out.end())) {
        PyErr_Format(PyExc_ValueError, "%s must be increasing", name);
        return false;
    }
    return ok;
}

// The default grid: k every 0.02 over [-2, 2]; t at the listed expiries of a
// fitted surface, ten points between neighbours and on to twice the last,
// else every 0.05 year to 5 years.
void default_grid(const VolSurface& s, std::vector<double>& ks, std::vector<double>& ts) {
    if (ks.empty())
        for (int i = -100; i <= 100; ++i) ks.push_back(0.02 * i);
    if (!ts.empty()) return;
    if (const SsviParameters* p = s.ssvi_parameters()) {
        double prev = 0.0;
        std::vector<double> nodes = p->expiries;
        nodes.push_back(2.0 * nodes.back());
        for (double next : nodes) {
            for (int i = 1; i <= 10; ++i) ts.push_back(prev + (next - prev) * i / 10.0);
            prev = next;
        }
        return;
    }
    for (int i = 1; i <= 100; ++i) ts.push_back(0.05 * i);
}

}  // namespace

PyObject* european_equivalents_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        QuoteInputs in;
        if (!read_quotes(args, nargs, kw, kEquivalentSig, in)) return nullptr;
        const ConfigTable& table = in.config ? *in.config : ConfigTable::defaults();
        auto eq = european_equivalents(in.quotes, *in.market, table, in.valuation, py::signal_check());
        if (!eq.ok()) return raise(eq.error());
        return equivalents_dict(in, *eq).release();
    });
}

PyObject* fit_surface_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        QuoteInputs in;
        if (!read_quotes(args, nargs, kw, kFitSig, in)) return nullptr;
        const ConfigTable& table = in.config ? *in.config : ConfigTable::defaults();
        auto fit = fit_surface(in.quotes, *in.market, table, in.valuation, py::signal_check());
        if (!fit.ok()) return raise(fit.error());
        Ref dict = equivalents_dict(in, fit->quotes);
        const SsviParameters& p = *fit->surface.ssvi_parameters();
        if (!dict || !put(dict.get(), "surface", Ref::steal(new_instance<VolSurface>(fit->surface))) ||
            !put(dict.get(), "fitted_vol", float_array(in.shape.get(), fit->fitted_vol)) ||
            !put(dict.get(), "rms", Ref::steal(PyFloat_FromDouble(fit->rms))) ||
            !put(dict.get(), "iterations", Ref::steal(PyLong_FromLong(fit->iterations))) ||
            !put(dict.get(), "theta", float_vector(p.thetas)) || !put(dict.get(), "psi", float_vector(p.psis)) ||
            !put(dict.get(), "rho", float_vector(p.rhos)))
            return nullptr;
        return dict.release();
    });
}

PyObject* check_surface_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[4] = {};
        if (!py::bind(kCheckSig, args, nargs, kw, p)) return nullptr;
        const VolSurface* surface = value_if<VolSurface>(p[0]);
        if (surface == nullptr) {
            PyErr_SetString(PyExc_TypeError, "argument 'surface': expected a VolSurface");
            return nullptr;
        }
        std::vector<double> ks, ts;
        double tolerance = 1e-12;
        if (!read_grid(p[1], "k", ks) || !read_grid(p[2], "t", ts)) return nullptr;
        if (p[3] != nullptr && p[3] != Py_None && !py::to_double(p[3], "tolerance", tolerance)) return nullptr;
        default_grid(*surface, ks, ts);
        const auto found = check_arbitrage(*surface, ks, ts, tolerance);
        static const char* const kinds[] = {"butterfly", "calendar", "wing"};
        Ref kind = Ref::steal(PyList_New(0));
        std::vector<double> k, t, amount;
        if (!kind) return nullptr;
        for (const ArbitrageViolation& v : found) {
            const Ref name = Ref::steal(PyUnicode_FromString(kinds[static_cast<int>(v.kind)]));
            if (!name || PyList_Append(kind.get(), name.get()) != 0) return nullptr;
            k.push_back(v.k), t.push_back(v.t), amount.push_back(v.amount);
        }
        Ref dict = Ref::steal(PyDict_New());
        if (!dict || !put(dict.get(), "ok", Ref::borrow(found.empty() ? Py_True : Py_False)) ||
            !put(dict.get(), "kind", std::move(kind)) || !put(dict.get(), "k", float_vector(k)) ||
            !put(dict.get(), "t", float_vector(t)) || !put(dict.get(), "amount", float_vector(amount)))
            return nullptr;
        return dict.release();
    });
}

bool add_surface_constants(PyObject* module) {
    static const char* const names[kQuoteStatusCount] = {
        "USED", "INVALID_INPUT", "EXPIRED", "CROSSED", "BELOW_INTRINSIC", "NO_SOLUTION", "OUTLIER", "IN_THE_MONEY",
    };
    Ref tuple = Ref::steal(PyTuple_New(kQuoteStatusCount));
    if (!tuple) return false;
    for (std::size_t s = 0; s < kQuoteStatusCount; ++s)
        if (PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(s), PyUnicode_FromString(names[s])) != 0) return false;
    return PyModule_AddObjectRef(module, "QUOTE_STATUS_NAMES", tuple.get()) == 0;
}

}  // namespace zub::batch
