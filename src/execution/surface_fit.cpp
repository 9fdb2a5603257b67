#include "execution/surface_fit.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include "math/implied_black.hpp"
#include "math/normal.hpp"
#include "orchestration/analytic.hpp"

namespace zub {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool finite_positive(double x) noexcept { return std::isfinite(x) && x > 0.0; }

// ---------------------------------------------------------------------------
// One expiry of the chain: the rates, what the dividends take off the
// forward, and the quotes at it.

struct ExpiryWork {
    Instant expiry;
    double T365 = 0.0;  // the pricing horizon (Actual/365 Fixed)
    double t = 0.0;     // the surface's horizon
    double rate = 0.0, market_carry = 0.0;
    double pv_dividends = 0.0;
    std::vector<std::size_t> quotes;
};

double discount(const ExpiryWork& e) noexcept { return std::exp(-e.rate * e.T365); }
double forward_at(const MarketRecord& m, const ExpiryWork& e, double carry) noexcept {
    return (m.spot - e.pv_dividends) * std::exp((e.rate - carry) * e.T365);
}

std::vector<ExpiryWork> group_by_expiry(std::span<const SurfaceQuote> quotes, const MarketRecord& market,
                                        const Instant& valuation, std::vector<std::size_t>& expiry_of) {
    std::map<Instant, std::size_t> index;
    for (const SurfaceQuote& q : quotes) index.emplace(q.option.expiry, 0);
    std::vector<ExpiryWork> out;
    const DayCountConvention dcc = market.rate_curve.day_count();
    for (auto& [expiry, i] : index) {
        i = out.size();
        ExpiryWork e;
        e.expiry = expiry;
        e.T365 = act365_years(valuation, expiry);
        e.t = year_fraction(valuation, expiry, dcc);
        if (e.T365 > 0.0) {
            e.rate = market.rate_curve.zero_rate(e.T365);
            e.market_carry = market.borrow_curve ? market.borrow_curve->zero_rate(e.T365) : 0.0;
            for (const Dividend& d : market.dividends) {
                const double td = act365_years(valuation, d.ex_date);
                if (d.amount > 0.0 && td > 0.0 && td < e.T365) e.pv_dividends += d.amount * std::exp(-e.rate * td);
            }
        }
        out.push_back(std::move(e));
    }
    expiry_of.resize(quotes.size());
    for (std::size_t i = 0; i < quotes.size(); ++i) {
        const std::size_t j = index[quotes[i].option.expiry];
        expiry_of[i] = j;
        out[j].quotes.push_back(i);
    }
    return out;
}

// The price a quote gives (its mid when only bid and ask are), or NaN.
double quoted_price(const SurfaceQuote& q) noexcept {
    if (!std::isnan(q.price)) return q.price;
    return std::isfinite(q.bid) && std::isfinite(q.ask) ? 0.5 * (q.bid + q.ask) : kNaN;
}

// The checks that need no model; Used when the quote passes them.
QuoteStatus screen(const SurfaceQuote& q, double T365) noexcept {
    const double price = quoted_price(q);
    const bool has_vol = !std::isnan(q.vol);
    if (!finite_positive(q.option.strike)) return QuoteStatus::InvalidInput;
    if (has_vol ? !finite_positive(q.vol) : !(std::isfinite(price) && price >= 0.0)) return QuoteStatus::InvalidInput;
    if (std::isinf(q.bid) || std::isinf(q.ask) || q.bid < 0.0) return QuoteStatus::InvalidInput;
    if (!(T365 > 0.0)) return QuoteStatus::Expired;
    if (q.bid > q.ask) return QuoteStatus::Crossed;
    return QuoteStatus::Used;
}

QuoteStatus from_inversion(BlackInversionStatus s) noexcept {
    switch (s) {
        case BlackInversionStatus::Ok:
            return QuoteStatus::Used;
        case BlackInversionStatus::BelowIntrinsic:
            return QuoteStatus::BelowIntrinsic;
        case BlackInversionStatus::AboveMaximum:
            return QuoteStatus::NoSolution;
        case BlackInversionStatus::NotANumber:
            break;
    }
    return QuoteStatus::InvalidInput;
}

QuoteStatus from_reason(Reason r) noexcept {
    switch (r) {
        case Reason::AtExerciseValue:
            return QuoteStatus::BelowIntrinsic;
        case Reason::NotBracketed:
        case Reason::NotConverged:
            return QuoteStatus::NoSolution;
        case Reason::Expired:
            return QuoteStatus::Expired;
        default:
            break;
    }
    return QuoteStatus::InvalidInput;
}

// Call and put quotes at one strike, the pair parity and the carry search
// read; nearest the money first, at most `most`.
std::vector<std::pair<std::size_t, std::size_t>> pairs_near_money(std::span<const SurfaceQuote> quotes,
                                                                  const ExpiryWork& e,
                                                                  const std::vector<QuoteStatus>& status,
                                                                  double forward, std::size_t most) {
    std::map<double, std::pair<std::ptrdiff_t, std::ptrdiff_t>> by_strike;
    for (std::size_t i : e.quotes) {
        if (status[i] != QuoteStatus::Used || !std::isnan(quotes[i].vol)) continue;
        auto& slot = by_strike.try_emplace(quotes[i].option.strike, -1, -1).first->second;
        (quotes[i].option.type == OptionType::Call ? slot.first : slot.second) = static_cast<std::ptrdiff_t>(i);
    }
    std::vector<std::pair<std::size_t, std::size_t>> pairs;
    for (const auto& [strike, p] : by_strike)
        if (p.first >= 0 && p.second >= 0) pairs.emplace_back(p.first, p.second);
    std::sort(pairs.begin(), pairs.end(), [&](const auto& a, const auto& b) {
        return std::abs(std::log(quotes[a.first].option.strike / forward)) <
               std::abs(std::log(quotes[b.first].option.strike / forward));
    });
    if (pairs.size() > most) pairs.resize(most);
    return pairs;
}

double median(std::vector<double> v) {
    if (v.empty()) return kNaN;
    const std::size_t h = v.size() / 2;
    const auto mid = v.begin() + static_cast<std::ptrdiff_t>(h);
    std::nth_element(v.begin(), mid, v.end());
    if (v.size() % 2) return v[h];
    return 0.5 * (v[h] + *std::max_element(v.begin(), mid));
}

// How much a call/put pair's evidence weighs: the inverse of its quotes'
// squared spreads summed (1 without spreads).
double pair_weight(const SurfaceQuote& call, const SurfaceQuote& put) noexcept {
    const double sc = call.ask - call.bid, sp = put.ask - put.bid;
    const double v = (sc > 0.0 ? sc * sc : 0.0) + (sp > 0.0 ? sp * sp : 0.0);
    return v > 0.0 ? 1.0 / v : 1.0;
}

// The weighted mean of (value, weight) pairs within five robust deviations
// of their median (a junk pair left out).
double robust_mean(const std::vector<std::pair<double, double>>& v) {
    std::vector<double> values, spread;
    for (const auto& x : v) values.push_back(x.first);
    const double centre = median(values);
    for (double x : values) spread.push_back(std::abs(x - centre));
    const double reach = 5.0 * 1.4826 * median(spread);
    double sum = 0.0, weights = 0.0;
    for (const auto& [x, w] : v)
        if (std::abs(x - centre) <= reach) sum += w * x, weights += w;
    return weights > 0.0 ? sum / weights : centre;
}

// Where a strike is quoted on both sides, the quote out of the money alone
// is used: the one in the money carries the same volatility under a wider
// spread (and, American, a premium over exercise that says little of it).
void set_aside_in_the_money(std::span<const SurfaceQuote> quotes, const ExpiryWork& e, double forward,
                            EuropeanEquivalents& eq) {
    std::map<double, int> sides;  // bit 0: a call quoted, bit 1: a put
    for (std::size_t i : e.quotes)
        if (eq.status[i] == QuoteStatus::Used)
            sides[quotes[i].option.strike] |= quotes[i].option.type == OptionType::Call ? 1 : 2;
    for (std::size_t i : e.quotes) {
        const VanillaOption& o = quotes[i].option;
        const bool itm = o.type == OptionType::Call ? o.strike < forward : o.strike > forward;
        if (eq.status[i] == QuoteStatus::Used && itm && sides[o.strike] == 3) eq.status[i] = QuoteStatus::InTheMoney;
    }
}

// ---------------------------------------------------------------------------
// European quotes: the forward from put-call parity, C - P = D(F - K), as
// the robust weighted mean over the pairs nearest the money; then Black's implied vol.

constexpr std::size_t kParityPairs = 12;
constexpr std::size_t kCarryPairs = 8;

void solve_european(std::span<const SurfaceQuote> quotes, const MarketRecord& market, ExpiryWork& e,
                    ChainExpiry& out, EuropeanEquivalents& eq) {
    const double D = discount(e);
    double F = forward_at(market, e, e.market_carry);
    const auto pairs = pairs_near_money(quotes, e, eq.status, F, kParityPairs);
    if (!pairs.empty()) {
        std::vector<std::pair<double, double>> implied;
        for (auto [c, p] : pairs)
            implied.emplace_back(quotes[c].option.strike + (quoted_price(quotes[c]) - quoted_price(quotes[p])) / D,
                                 pair_weight(quotes[c], quotes[p]));
        const double f = robust_mean(implied);
        if (finite_positive(f) && finite_positive(market.spot - e.pv_dividends)) {
            F = f;
            out.carry = e.rate - std::log(F / (market.spot - e.pv_dividends)) / e.T365;
            out.carry_implied = true;
        }
    }
    out.forward = F;
    for (std::size_t i : e.quotes) {
        if (eq.status[i] != QuoteStatus::Used) continue;
        const SurfaceQuote& q = quotes[i];
        if (!std::isnan(q.vol)) {
            eq.vol[i] = q.vol;
        } else {
            const BlackInversion r = implied_black_volatility(quoted_price(q), F * D, q.option.strike * D, e.T365,
                                                              q.option.type == OptionType::Call);
            eq.status[i] = from_inversion(r.status);
            if (r.status == BlackInversionStatus::Ok && !(r.vol > 0.0)) eq.status[i] = QuoteStatus::BelowIntrinsic;
            eq.vol[i] = eq.status[i] == QuoteStatus::Used ? r.vol : kNaN;
        }
    }
    set_aside_in_the_money(quotes, e, F, eq);
}

// ---------------------------------------------------------------------------
// American quotes: the carry q at which the calls and puts nearest the
// money give one implied vol under the configured method (the calls' vols
// rise with q, the puts' fall, so their mean gap crosses zero once), then
// every quote's implied vol at that carry.

struct AmericanSolver {
    std::span<const SurfaceQuote> quotes;
    const MarketRecord& market;
    const ConfigTable& config;
    const Instant& valuation;
    CancelCheck cancel;
    VolSearch search{.low = 1e-3, .high = 10.0, .tolerance = 1e-10, .exact_by_default = true,
                     .refuse_at_exercise_value = true, .refuse_invalid_inputs = true};

    MarketRecord at_carry(double q) const {
        MarketRecord m = market;
        m.borrow_curve = RateCurve::continuous(q, market.rate_curve.day_count());
        return m;
    }

    Outcome<double> vol(const SurfaceQuote& q, const MarketRecord& m) const {
        return implied_volatility(q.option, m, config, valuation, quoted_price(q), cancel, search);
    }

    // The weighted mean of call vol minus put vol over the pairs both of whose
    // vols exist; NaN when none do, the error when the call was cancelled.
    Outcome<double> gap(double carry, const std::vector<std::pair<std::size_t, std::size_t>>& pairs) const {
        const MarketRecord m = at_carry(carry);
        double sum = 0.0, weights = 0.0;
        for (auto [c, p] : pairs) {
            auto vc = vol(quotes[c], m);
            auto vp = vol(quotes[p], m);
            for (auto* v : {&vc, &vp})
                if (!v->ok() && v->error().kind == ErrorKind::Cancelled) return v->error();
            if (!vc.ok() || !vp.ok()) continue;
            const double w = pair_weight(quotes[c], quotes[p]);
            sum += w * (*vc - *vp), weights += w;
        }
        return weights > 0.0 ? sum / weights : kNaN;
    }

    // The root of gap() by bracketing from the market's carry and the
    // Illinois false-position method, to 1e-8 in q.
    Outcome<double> implied_carry(double start, const std::vector<std::pair<std::size_t, std::size_t>>& pairs) const {
        auto g0 = gap(start, pairs);
        if (!g0.ok()) return g0;
        if (std::isnan(*g0)) return kNaN;
        double a = start, fa = *g0, b = start, fb = fa;
        for (double step = 0.005; fa * fb > 0.0; step *= 2.0) {
            if (step > 4.0) return kNaN;
            b = fa > 0.0 ? start - step : start + step;
            auto g = gap(b, pairs);
            if (!g.ok()) return g;
            if (std::isnan(*g)) return kNaN;
            fb = *g;
            if (fa * fb > 0.0) a = b, fa = fb;
        }
        int side = 0;
        for (int it = 0; it < 100 && std::abs(b - a) > 1e-8; ++it) {
            const double c = (a * fb - b * fa) / (fb - fa);
            auto g = gap(c, pairs);
            if (!g.ok()) return g;
            if (std::isnan(*g)) return kNaN;
            if (*g * fb < 0.0) {
                a = b, fa = fb;
                if (side == -1) fa *= 0.5;
                side = -1;
            } else {
                if (side == 1) fa *= 0.5;
                side = 1;
            }
            b = c, fb = *g;
            if (fb == 0.0) break;
        }
        return b;
    }

    // An American option is worth at least its exercise value and less than
    // the spot (a call) or the strike (a put): quotes outside get their
    // status before any search.
    void refuse_outside_bounds(const ExpiryWork& e, EuropeanEquivalents& eq) const {
        for (std::size_t i : e.quotes) {
            const SurfaceQuote& q = quotes[i];
            if (eq.status[i] != QuoteStatus::Used || q.option.style != ExerciseStyle::American || !std::isnan(q.vol))
                continue;
            const bool call = q.option.type == OptionType::Call;
            const double price = quoted_price(q);
            if (!(price > std::max(0.0, call ? market.spot - q.option.strike : q.option.strike - market.spot)))
                eq.status[i] = QuoteStatus::BelowIntrinsic;
            else if (price >= (call ? market.spot : q.option.strike))
                eq.status[i] = QuoteStatus::NoSolution;
        }
    }

    std::optional<Error> solve(ExpiryWork& e, ChainExpiry& out, EuropeanEquivalents& eq) const {
        const auto pairs = pairs_near_money(quotes, e, eq.status, forward_at(market, e, e.market_carry), kCarryPairs);
        if (!pairs.empty()) {
            auto q = implied_carry(e.market_carry, pairs);
            if (!q.ok()) return q.error();
            if (!std::isnan(*q)) out.carry = *q, out.carry_implied = true;
        }
        out.forward = forward_at(market, e, out.carry);
        refuse_outside_bounds(e, eq);
        set_aside_in_the_money(quotes, e, out.forward, eq);
        const MarketRecord m = at_carry(out.carry);
        const Horizon h = horizon(e.T365, e.rate, out.carry);
        for (std::size_t i : e.quotes) {
            if (eq.status[i] != QuoteStatus::Used) continue;
            const SurfaceQuote& q = quotes[i];
            if (!std::isnan(q.vol)) {
                eq.vol[i] = q.vol;
                continue;
            }
            auto v = vol(q, m);
            if (!v.ok()) {
                if (v.error().kind == ErrorKind::Cancelled) return v.error();
                eq.status[i] = from_reason(v.error().reason);
                continue;
            }
            eq.vol[i] = *v;
        }
        // The European price at each vol, on the spot less the dividends'
        // present value: the forward the vol was implied at.
        for (std::size_t i : e.quotes)
            if (eq.status[i] == QuoteStatus::Used)
                eq.price[i] = black_scholes(quotes[i].option.type, quotes[i].option.strike,
                                            market.spot - e.pv_dividends, eq.vol[i], h).price;
        return std::nullopt;
    }
};

}  // namespace

Outcome<EuropeanEquivalents> european_equivalents(std::span<const SurfaceQuote> quotes, const MarketRecord& market,
                                                  const ConfigTable& config, const Instant& valuation,
                                                  CancelCheck cancel) {
    if (auto mismatch = check_day_counts(market)) return *mismatch;
    EuropeanEquivalents eq;
    auto work = group_by_expiry(quotes, market, valuation, eq.expiry_of);
    eq.status.resize(quotes.size());
    eq.vol.assign(quotes.size(), kNaN);
    eq.price.assign(quotes.size(), kNaN);
    for (std::size_t i = 0; i < quotes.size(); ++i) eq.status[i] = screen(quotes[i], work[eq.expiry_of[i]].T365);

    const AmericanSolver american{quotes, market, config, valuation, cancel};
    for (ExpiryWork& e : work) {
        if (cancel.cancelled()) return Error::cancelled();
        ChainExpiry out{.expiry = e.expiry, .T = e.t, .forward = kNaN, .carry = e.market_carry, .carry_implied = false};
        const bool any_american = std::any_of(e.quotes.begin(), e.quotes.end(), [&](std::size_t i) {
            return quotes[i].option.style == ExerciseStyle::American;
        });
        if (e.T365 > 0.0) {
            if (any_american) {
                if (auto err = american.solve(e, out, eq)) return *err;
            } else {
                solve_european(quotes, market, e, out, eq);
            }
        }
        const Horizon h = horizon(e.T365, e.rate, out.carry);
        for (std::size_t i : e.quotes) {
            if (eq.status[i] != QuoteStatus::Used) continue;
            ++out.used;
            if (std::isnan(eq.price[i])) {
                eq.price[i] = quotes[i].option.style == ExerciseStyle::European && std::isnan(quotes[i].vol)
                                  ? quoted_price(quotes[i])
                                  : black_scholes(quotes[i].option.type, quotes[i].option.strike,
                                                  market.spot - e.pv_dividends, eq.vol[i], h)
                                        .price;
            }
        }
        eq.expiries.push_back(out);
    }
    return eq;
}

// ---------------------------------------------------------------------------
// The SSVI fit.  Unconstrained parameters map onto a surface free of static
// arbitrage: one ρ = 0.999 tanh x0 for every expiry, and per expiry θ_i =
// θ_{i-1} + e^{a_i} and ψ_i = ψ_{i-1} + logistic(b_i) times the room left
// by ψ_i/θ_i ≤ ψ_{i-1}/θ_{i-1} (no calendar spread, with ψ rising: Gatheral
// and Jacquier's condition on θφ(θ)) and by ψ(1 + |ρ|) < 4, ψ²(1 + |ρ|) ≤ 4θ
// (no butterfly).

namespace {

double logistic(double x) noexcept { return 1.0 / (1.0 + std::exp(-x)); }
double logit(double p) noexcept { return std::log(p / (1.0 - p)); }

struct FitPoint {
    std::size_t quote;
    std::size_t node;  // index among the fitted expiries
    double k;          // ln(K / F)
    double vol;        // to fit
    double weight;
};

// The largest ψ without butterfly arbitrage at θ and ρ.
double butterfly_cap(double theta, double rho) noexcept {
    const double wing = 1.0 + std::abs(rho);
    return std::min(3.999 / wing, std::sqrt(4.0 * theta / wing));
}

struct SsviModel {
    std::vector<double> times;  // surface horizons of the fitted expiries

    // Fills thetas, psis and rhos of `p` from x.
    void parameters(std::span<const double> x, SsviParameters& p) const {
        const std::size_t n = times.size();
        const double rho = 0.999 * std::tanh(x[0]);
        p.thetas.resize(n), p.psis.resize(n), p.rhos.assign(n, rho);
        double theta = 0.0, psi = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            const double before = theta;
            theta += std::exp(x[1 + 2 * j]);
            const double cap = std::min(butterfly_cap(theta, rho), j == 0 ? INFINITY : psi * theta / before);
            psi += std::max(0.0, cap - psi) * logistic(x[2 + 2 * j]);
            p.thetas[j] = theta, p.psis[j] = psi;
        }
    }

    void residuals(std::span<const double> x, std::span<const FitPoint> points, std::vector<double>& r) const {
        SsviParameters p;
        parameters(x, p);
        r.resize(points.size());
        for (std::size_t i = 0; i < points.size(); ++i) {
            const FitPoint& f = points[i];
            double w[3];
            SsviParameters::slice(f.k, p.thetas[f.node], p.psis[f.node], p.rhos[f.node], w);
            r[i] = (std::sqrt(w[0] / times[f.node]) - f.vol) * f.weight;
        }
    }
};

// Cholesky solve of the n x n symmetric positive definite a (row-major) in
// place; false when a is not positive definite.
bool cholesky_solve(std::vector<double>& a, std::vector<double>& b, std::size_t n) {
    for (std::size_t j = 0; j < n; ++j) {
        double d = a[j * n + j];
        for (std::size_t k = 0; k < j; ++k) d -= a[j * n + k] * a[j * n + k];
        if (!(d > 0.0)) return false;
        a[j * n + j] = std::sqrt(d);
        for (std::size_t i = j + 1; i < n; ++i) {
            double s = a[i * n + j];
            for (std::size_t k = 0; k < j; ++k) s -= a[i * n + k] * a[j * n + k];
            a[i * n + j] = s / a[j * n + j];
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < i; ++k) b[i] -= a[i * n + k] * b[k];
        b[i] /= a[i * n + i];
    }
    for (std::size_t i = n; i-- > 0;) {
        for (std::size_t k = i + 1; k < n; ++k) b[i] -= a[k * n + i] * b[k];
        b[i] /= a[i * n + i];
    }
    return true;
}

double sum_squares(const std::vector<double>& r) noexcept {
    double s = 0.0;
    for (double v : r) s += v * v;
    return s;
}

// Levenberg-Marquardt with Marquardt's scaling and forward-difference
// Jacobians; the iterations taken.
int levenberg_marquardt(const SsviModel& model, std::span<const FitPoint> points, std::vector<double>& x,
                        const CancelCheck& cancel, bool& cancelled) {
    const std::size_t n = x.size(), m = points.size();
    std::vector<double> r, rt, jac(n * m), a(n * n), g(n), step(n), trial(n);
    model.residuals(x, points, r);
    double cost = sum_squares(r), lambda = 1e-3;
    int it = 0;
    for (; it < 200; ++it) {
        if (cancel.cancelled()) return cancelled = true, it;
        for (std::size_t p = 0; p < n; ++p) {
            const double h = 1e-7 * std::max(1.0, std::abs(x[p]));
            trial = x;
            trial[p] += h;
            model.residuals(trial, points, rt);
            for (std::size_t i = 0; i < m; ++i) jac[p * m + i] = (rt[i] - r[i]) / h;
        }
        for (std::size_t p = 0; p < n; ++p) {
            g[p] = 0.0;
            for (std::size_t i = 0; i < m; ++i) g[p] += jac[p * m + i] * r[i];
            for (std::size_t q = 0; q <= p; ++q) {
                double s = 0.0;
                for (std::size_t i = 0; i < m; ++i) s += jac[p * m + i] * jac[q * m + i];
                a[p * n + q] = a[q * n + p] = s;
            }
        }
        bool improved = false;
        while (lambda < 1e12) {
            std::vector<double> damped = a;
            for (std::size_t p = 0; p < n; ++p) damped[p * n + p] += lambda * std::max(a[p * n + p], 1e-12);
            for (std::size_t p = 0; p < n; ++p) step[p] = -g[p];
            if (cholesky_solve(damped, step, n)) {
                for (std::size_t p = 0; p < n; ++p) trial[p] = x[p] + step[p];
                model.residuals(trial, points, rt);
                const double c = sum_squares(rt);
                if (c < cost) {
                    const double gain = (cost - c) / std::max(cost, 1e-300);
                    x = trial, r.swap(rt), cost = c, lambda = std::max(lambda * 0.2, 1e-12);
                    improved = gain > 1e-12;
                    break;
                }
            }
            lambda *= 10.0;
        }
        if (!improved) break;
    }
    return it;
}

// A starting point: each expiry's θ from the quote nearest the money, made
// increasing; ρ = -1/2 and each ψ half its room.
std::vector<double> starting_point(const SsviModel& model, std::span<const FitPoint> points) {
    const std::size_t n = model.times.size();
    std::vector<double> theta(n, kNaN), nearest(n, std::numeric_limits<double>::infinity());
    for (const FitPoint& f : points) {
        if (std::abs(f.k) < nearest[f.node])
            nearest[f.node] = std::abs(f.k), theta[f.node] = f.vol * f.vol * model.times[f.node];
    }
    std::vector<double> x{std::atanh(-0.5 / 0.999)};
    double prev = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
        const double step = std::max(theta[j] - prev, 1e-4 * std::max(theta[j], 1e-4));
        x.insert(x.end(), {std::log(step), logit(j == 0 ? 0.3 : 0.5)});
        prev += step;
    }
    return x;
}

}  // namespace

Outcome<SurfaceFit> fit_surface(std::span<const SurfaceQuote> quotes, const MarketRecord& market,
                                const ConfigTable& config, const Instant& valuation, CancelCheck cancel) {
    auto eq = european_equivalents(quotes, market, config, valuation, cancel);
    if (!eq.ok()) return eq.error();
    SurfaceFit fit{.surface = market.vol_surface, .quotes = std::move(*eq), .fitted_vol = {}, .rms = 0.0, .iterations = 0};
    EuropeanEquivalents& q = fit.quotes;

    // The fitted expiries: those with a quote used.
    SsviModel model;
    std::vector<std::size_t> node_of(q.expiries.size(), SIZE_MAX);
    SsviParameters p;
    p.spot = market.spot;
    for (std::size_t j = 0; j < q.expiries.size(); ++j) {
        if (q.expiries[j].used == 0 || !(q.expiries[j].T > 0.0)) continue;
        node_of[j] = model.times.size();
        model.times.push_back(q.expiries[j].T);
        p.expiries.push_back(q.expiries[j].T);
        p.forwards.push_back(q.expiries[j].forward);
    }
    if (model.times.empty()) return Error::value("no quote gives a volatility to fit");

    std::vector<FitPoint> points;
    for (std::size_t i = 0; i < quotes.size(); ++i) {
        if (q.status[i] != QuoteStatus::Used) continue;
        const ChainExpiry& e = q.expiries[q.expiry_of[i]];
        const double k = std::log(quotes[i].option.strike / e.forward);
        double weight = 1.0;
        const double spread = quotes[i].ask - quotes[i].bid;
        if (spread > 0.0) {
            // Vega over the spread: the residual in spreads of price.
            const double s = q.vol[i] * std::sqrt(e.T);
            const double d1 = -k / s + 0.5 * s;
            weight = e.forward * std::exp(-market.rate_curve.zero_rate(e.T) * e.T) * norm_pdf(d1) * std::sqrt(e.T) / spread;
        }
        points.push_back({i, node_of[q.expiry_of[i]], k, q.vol[i], weight});
    }

    // A first fit, the quotes more than eight robust deviations (and a vol
    // point) from it marked Outlier, and the fit again.
    std::vector<double> x = starting_point(model, points);
    bool cancelled = false;
    fit.iterations = levenberg_marquardt(model, points, x, cancel, cancelled);
    std::vector<double> r;
    model.residuals(x, points, r);
    std::vector<double> size(r.size());
    for (std::size_t i = 0; i < r.size(); ++i) size[i] = std::abs(r[i]);
    const double scale = 1.4826 * median(size);
    std::vector<FitPoint> kept;
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (size[i] > 8.0 * scale && std::abs(r[i] / points[i].weight) > 0.01)
            q.status[points[i].quote] = QuoteStatus::Outlier;
        else
            kept.push_back(points[i]);
    }
    if (kept.size() < points.size()) {
        points.swap(kept);
        fit.iterations += levenberg_marquardt(model, points, x, cancel, cancelled);
    }
    if (cancelled) return Error::cancelled();

    model.parameters(x, p);
    auto surface = VolSurface::ssvi(std::move(p), market.rate_curve.day_count());
    if (!surface.ok()) return surface.error();
    fit.surface = std::move(*surface);

    fit.fitted_vol.assign(quotes.size(), kNaN);
    double squares = 0.0;
    std::size_t used = 0;
    for (std::size_t i = 0; i < quotes.size(); ++i) {
        const ChainExpiry& e = q.expiries[q.expiry_of[i]];
        if (!(e.T > 0.0)) continue;
        fit.fitted_vol[i] = fit.surface.volatility(quotes[i].option.strike, e.T);
        if (q.status[i] == QuoteStatus::Used) squares += std::pow(fit.fitted_vol[i] - q.vol[i], 2), ++used;
    }
    for (ChainExpiry& e : q.expiries) e.used = 0;
    for (std::size_t i = 0; i < quotes.size(); ++i)
        if (q.status[i] == QuoteStatus::Used) ++q.expiries[q.expiry_of[i]].used;
    fit.rms = used ? std::sqrt(squares / static_cast<double>(used)) : 0.0;
    return fit;
}

std::vector<ArbitrageViolation> check_arbitrage(const VolSurface& surface, std::span<const double> ks,
                                                std::span<const double> ts, double tolerance) {
    std::vector<ArbitrageViolation> out;
    for (std::size_t j = 0; j < ts.size(); ++j) {
        const double t = ts[j];
        if (!(t > 0.0)) continue;
        for (double k : ks) {
            const VolSurface::Smile s = surface.smile(k, t);
            const double a = 1.0 - k * s.dw / (2.0 * s.w);
            const double g = a * a - 0.25 * s.dw * s.dw * (1.0 / s.w + 0.25) + 0.5 * s.d2w;
            if (!(g >= -tolerance)) out.push_back({ArbitrageViolation::Kind::Butterfly, k, t, g});
            if (j > 0 && ts[j - 1] >= 0.0) {
                const double fall = surface.total_variance(k, ts[j - 1]) - s.w;
                if (fall > tolerance) out.push_back({ArbitrageViolation::Kind::Calendar, k, t, fall});
            }
        }
        // The wings' asymptotic slopes, from the smile far out.
        for (double far : {-1e8, 1e8}) {
            const double slope = std::abs(surface.smile(far, t).dw);
            if (!(slope < 2.0)) out.push_back({ArbitrageViolation::Kind::Wing, far, t, slope});
        }
    }
    return out;
}

}  // namespace zub
