// Volatility surfaces from arrays of quotes: the European-equivalent vols,
// the fitted surface, and the arbitrage check of any surface.
#include "surface.hpp"

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "arrays.hpp"
#include "outputs.hpp"
#include "execution/surface_fit.hpp"
#include "records.hpp"

namespace zub::batch {
namespace {

using py::Ref;

// The quotes' columns as the entries take them.
struct QuoteColumns {
    Given expiry, strike, option_type, exercise_style;
    std::optional<Given> price, vol, bid, ask;
};

// The quotes of a call, read from broadcast arrays.
struct QuoteInputs {
    std::shared_ptr<const MarketRecord> market;
    std::shared_ptr<const ConfigTable> config;
    Instant valuation;
    std::vector<SurfaceQuote> quotes;
    Ref shape;  // the broadcast shape, for the per-quote outputs
};

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
    if (ok && layout.size > 0) {  // (a walker needs an element)
        Walker w(layout, 0);
        for (SurfaceQuote& q : out) {
            q.bid = w.get<double>(kTarget), q.ask = w.get<double>(kVol);
            if (layout.size != 1) w.next();
        }
    }
    args.release();
    return ok;
}

bool read_columns(Arguments& args, Layout& layout, const QuoteColumns& c, std::vector<SurfaceQuote>& out) {
    if (!args.stage(kExpiry, c.expiry.o, "expiry") || !args.stage(kStrike, c.strike.o, "strike") ||
        !args.stage(kType, c.option_type.o, "option_type") || !args.stage(kStyle, c.exercise_style.o, "exercise_style"))
        return false;
    const bool price = c.price.has_value(), vol = c.vol.has_value();
    if (price && vol) {
        PyErr_SetString(PyExc_ValueError, "give price or vol, not both");
        return false;
    }
    if (!price && !vol && !(c.bid && c.ask)) {
        PyErr_SetString(PyExc_ValueError, "give price, vol, or bid and ask");
        return false;
    }
    if ((price && !args.stage(kTarget, c.price->o, "price")) || (vol && !args.stage(kVol, c.vol->o, "vol")) ||
        !args.take_views() || !args.broadcast(layout))
        return false;
    out.resize(layout.size);
    if (layout.size == 0) return true;  // (a walker needs an element)
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

bool read_quotes(Frame& frame, const QuoteColumns& c, std::optional<ValuationTime>& when,
                 std::optional<ConfigTableOf>& config, QuoteInputs& in) {
    in.market = std::move(frame.record);
    in.valuation = when ? when->value : py::now_instant();
    if (config) in.config = std::move(config->table);
    Arguments columns;
    Layout layout;
    const bool ok = read_columns(columns, layout, c, in.quotes);
    columns.release();
    if (!ok || !read_spread(c.bid ? c.bid->o : nullptr, c.ask ? c.ask->o : nullptr, layout, in.quotes)) return false;
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

Ref raise(const Error& e) {
    py::raise_error(e);
    return Ref();
}

// ---------------------------------------------------------------------------
// The check

bool read_grid(PyObject* o, const char* name, std::vector<double>& out) {
    if (o == nullptr || o == Py_None) return true;
    Arguments args;
    Layout layout;
    const bool ok = args.stage(kTarget, o, name) && args.take_views() && args.broadcast(layout);
    if (ok && layout.size > 0) {  // (a walker needs an element)
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

// european_equivalents' dict.
Ref equivalents(const QuoteInputs& in, const ConfigTable& table) {
    auto eq = european_equivalents(in.quotes, *in.market, table, in.valuation, py::signal_check());
    return eq.ok() ? equivalents_dict(in, *eq) : raise(eq.error());
}

// fit_surface's dict: the equivalents' entries and the fit's.
Ref fitted(const QuoteInputs& in, const ConfigTable& table) {
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
        return Ref();
    return dict;
}

// The quote entries: `answer` makes the dict from the quotes read.
template <class Answer>
Ref with_quotes(Frame& frame, const QuoteColumns& columns, std::optional<ValuationTime>& when,
                std::optional<ConfigTableOf>& config, Answer&& answer) {
    QuoteInputs in;
    if (!read_quotes(frame, columns, when, config, in)) return Ref();
    return answer(in, in.config ? *in.config : ConfigTable::defaults());
}

}  // namespace

Ref european_equivalents_entry(Frame market_frame, Given expiry, Given strike, Given option_type, Given exercise_style,
                               std::optional<Given> price, std::optional<Given> vol, std::optional<Given> bid,
                               std::optional<Given> ask, std::optional<ValuationTime> valuation_time,
                               std::optional<ConfigTableOf> config) {
    const QuoteColumns columns{expiry, strike, option_type, exercise_style, price, vol, bid, ask};
    return with_quotes(market_frame, columns, valuation_time, config, equivalents);
}

Ref fit_surface_entry(Frame market_frame, Given expiry, Given strike, Given option_type, Given exercise_style,
                      std::optional<Given> price, std::optional<Given> vol, std::optional<Given> bid,
                      std::optional<Given> ask, std::optional<ValuationTime> valuation_time,
                      std::optional<ConfigTableOf> config) {
    const QuoteColumns columns{expiry, strike, option_type, exercise_style, price, vol, bid, ask};
    return with_quotes(market_frame, columns, valuation_time, config, fitted);
}

Ref check_surface_entry(SurfaceOf surface, std::optional<Given> k, std::optional<Given> t,
                        std::optional<CheckTolerance> tolerance) {
    std::vector<double> ks, ts;
    if (!read_grid(k ? k->o : nullptr, "k", ks) || !read_grid(t ? t->o : nullptr, "t", ts)) return Ref();
    default_grid(*surface.surface, ks, ts);
    const double tol = tolerance ? tolerance->value : CheckTolerance{}.value;
    const auto found = check_arbitrage(*surface.surface, ks, ts, tol);
    static const char* const kinds[] = {"butterfly", "calendar", "wing"};
    Ref kind = Ref::steal(PyList_New(0));
    std::vector<double> at_k, at_t, amount;
    if (!kind) return Ref();
    for (const ArbitrageViolation& v : found) {
        const Ref name = Ref::steal(PyUnicode_FromString(kinds[static_cast<int>(v.kind)]));
        if (!name || PyList_Append(kind.get(), name.get()) != 0) return Ref();
        at_k.push_back(v.k), at_t.push_back(v.t), amount.push_back(v.amount);
    }
    Ref dict = Ref::steal(PyDict_New());
    if (!dict || !put(dict.get(), "ok", Ref::borrow(found.empty() ? Py_True : Py_False)) ||
        !put(dict.get(), "kind", std::move(kind)) || !put(dict.get(), "k", float_vector(at_k)) ||
        !put(dict.get(), "t", float_vector(at_t)) || !put(dict.get(), "amount", float_vector(amount)))
        return Ref();
    return dict;
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
