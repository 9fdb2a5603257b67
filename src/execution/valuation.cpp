#include "execution/valuation.hpp"

#include <array>
#include <cmath>
#include <string>
#include <utility>

#include "core/number_text.hpp"
#include "orchestration/analytic.hpp"
#include "methods/linear_operators/tridiagonal_lanes.hpp"
#include "orchestration/fdm.hpp"

namespace zub {

const ConfigTable& ConfigTable::defaults() noexcept {
    static const ConfigTable table = [] {
        ConfigTable t;
        t.slots[slot_index(ExerciseStyle::American, OptionType::Call)].kind = PricingMethod::Kind::Fdm;
        t.slots[slot_index(ExerciseStyle::American, OptionType::Put)].kind = PricingMethod::Kind::Fdm;
        return t;
    }();
    return table;
}

namespace {

const FdmConfig kDefaultFdm{};

// Everything about the market that does not depend on the volatility.
struct Inputs {
    double T;
    double S;
    double r;
    double q;
};

// The rate curve and the surface must measure time alike.  The curve may
// throw Panic for a kind that has no convention.
std::optional<Error> check_day_counts(const MarketRecord& market) {
    const DayCountConvention rates = market.rate_curve.day_count();
    const DayCountConvention& vol = market.vol_surface.day_count();
    if (rates == vol) return std::nullopt;
    return Error::value(Reason::DayCountMismatch, "Mismatched day count conventions: Rates use " + rates.debug_text() + ", while Vol uses " +
                        vol.debug_text() + ". They must be identical.");
}

// T, S, r and q at the valuation instant; an option at or past expiry (or with
// a time to expiry that is not a number) cannot be priced by either engine.
Outcome<Inputs> gather_inputs(const VanillaOption& option, const MarketRecord& market, const Instant& valuation,
                              std::optional<double> spot) {
    const double T = option.years_to_expiry(valuation);
    if (!(T > 0.0)) return Error::value(Reason::Expired, "Option has expired: the valuation time is at or after expiry");
    const double r = market.rate_curve.zero_rate(T);
    const double q = market.borrow_curve ? market.borrow_curve->zero_rate(T) : 0.0;
    return Inputs{T, spot.value_or(market.spot), r, q};
}

// What the option is worth without volatility: the forward intrinsic value
// discounted to today, and for an American option at least the value of
// exercising now.  No volatility prices below it.
double exercise_value(const VanillaOption& option, const Inputs& in) {
    const double sign = option.type == OptionType::Call ? 1.0 : -1.0;
    const double forward = sign * (in.S * std::exp(-in.q * in.T) - option.strike * std::exp(-in.r * in.T));
    double value = std::fmax(forward, 0.0);
    if (option.style == ExerciseStyle::American) value = std::fmax(value, sign * (in.S - option.strike));
    return value;
}

const FdmConfig& fdm_settings(const PricingMethod& method) noexcept {
    return method.fdm ? *method.fdm : kDefaultFdm;
}

// sigma -> model price - target, remembering the first engine failure so the
// search can stop on it.
template <class Price>
class Objective {
public:
    Objective(Price price, double target) : price_(std::move(price)), target_(target) {}

    // The model price at sigma; false when the engine failed, the error then
    // waiting in take_failure().
    bool price(double sigma, double& out) {
        Outcome<double> p = price_(sigma);
        if (!p) {
            failure_ = std::move(p).error();
            return false;
        }
        out = *p;
        return true;
    }
    // price(sigma) - target, with the same failure rule.
    bool operator()(double sigma, double& out) {
        if (!price(sigma, out)) return false;
        out -= target_;
        return true;
    }
    Error take_failure() { return std::move(*failure_); }
    double target() const noexcept { return target_; }

private:
    Price price_;
    double target_;
    std::optional<Error> failure_;
};

template <class F>
Outcome<double> brent(F& f, double tol, uint64_t max_iterations, double low, double high) {
    double f_lo, f_hi;
    if (!f(low, f_lo)) return f.take_failure();
    if (!f(high, f_hi)) return f.take_failure();
    if (std::fabs(f_lo) < tol) return low;
    if (std::fabs(f_hi) < tol) return high;
    // Written so that a NaN at either end counts as "no sign change".
    if (!(f_lo * f_hi < 0.0)) {
        return Error::value(Reason::NotBracketed, "Root is not bracketed. f(low) = " + format_shortest(f_lo) +
                            ", f(high) = " + format_shortest(f_hi) + ". Target price might be out of bounds.");
    }
    const auto not_converged = [] { return Error::value(Reason::NotConverged, "Brent's method failed to converge within max iterations"); };
    if (max_iterations == 0) return not_converged();

    double a = low, fa = f_lo;
    double b = high, fb = f_hi;
    double c = low, fc = f_lo;
    double d = high - low, e = high - low;  // the width of the starting bracket
    for (uint64_t iteration = 1;; ++iteration) {
        if (std::fabs(fb) > std::fabs(fc)) {  // keep the better estimate in b
            a = b, fa = fb;
            b = c, fb = fc;
            c = a, fc = fa;
        }
        const double tol1 = 2e-15 * std::fabs(b) + 0.5 * tol;
        const double xm = 0.5 * (c - b);
        if (std::fabs(fb) < tol || std::fabs(xm) <= tol1) return b;

        bool interpolated = false;
        if (std::fabs(e) >= tol1 && std::fabs(fa) > std::fabs(fb)) {
            const double s = fb / fa;
            double p, q;
            if (std::fabs(a - c) < 1e-15) {  // secant
                p = 2.0 * xm * s;
                q = 1.0 - s;
            } else {  // inverse quadratic
                const double t = fa / fc;
                const double u = fb / fc;
                p = s * (2.0 * xm * t * (t - u) - (b - a) * (u - 1.0));
                q = (t - 1.0) * (u - 1.0) * (s - 1.0);
            }
            if (p > 0.0) q = -q;
            p = std::fabs(p);
            const double min1 = 3.0 * xm * q - std::fabs(tol1 * q);
            const double min2 = std::fabs(e * q);
            if (2.0 * p < std::fmin(min1, min2)) {  // fmin ignores a NaN operand
                e = d;
                d = p / q;
                interpolated = true;
            }
        }
        if (!interpolated) {
            d = xm;
            e = xm;
        }

        a = b, fa = fb;
        if (std::fabs(d) > tol1) {
            b += d;
        } else {
            b += xm > 0.0 ? tol1 : -tol1;
        }
        if (!f(b, fb)) return f.take_failure();
        if ((fb > 0.0 && fc > 0.0) || (fb < 0.0 && fc < 0.0)) {
            c = a, fc = fa;
            d = e = b - a;
        }
        if (iteration == max_iterations) return not_converged();
    }
}

template <class F>
Outcome<double> bisection(F& f, double tol, uint64_t max_iterations, double low, double high) {
    const double target = f.target();
    double p_lo, p_hi;
    if (!f.price(low, p_lo)) return f.take_failure();
    if (!f.price(high, p_hi)) return f.take_failure();
    // Negated comparisons: a NaN target or a NaN end price fails here instead
    // of running the search on a meaningless interval.
    if (!(p_lo <= target)) return Error::value(Reason::NotBracketed, "Target price " + format_shortest(target) + " is below value at min vol");
    if (!(target <= p_hi)) return Error::value(Reason::NotBracketed, "Target price " + format_shortest(target) + " is above value at max vol");
    const auto not_converged = [] { return Error::value(Reason::NotConverged, "Bisection failed to converge within max iterations"); };
    if (max_iterations == 0) return not_converged();

    double lo = low, hi = high;
    for (uint64_t iteration = 1;; ++iteration) {
        const double mid = (lo + hi) * 0.5;
        double v;
        if (!f(mid, v)) return f.take_failure();
        if (std::fabs(v) < tol) return mid;
        if ((hi - lo) * 0.5 < 1e-8) return mid;
        if (v > 0.0) {
            hi = mid;
        } else {
            lo = mid;
        }
        if (iteration == max_iterations) return not_converged();
    }
}

template <class Price>
Outcome<double> search(const ImpliedVolSolver& solver, const VolSearch& bounds, double target, Price price) {
    Objective<Price> f(std::move(price), target);
    const double tol = bounds.tolerance.value_or(solver.tolerance);
    if (solver.kind == ImpliedVolSolver::Kind::Bisection) {
        return bisection(f, tol, solver.max_iterations, bounds.low, bounds.high);
    }
    return brent(f, tol, solver.max_iterations, bounds.low, bounds.high);
}

}  // namespace

namespace {

// value_option up to the engine: the outcome when no finite-difference
// solve is needed, else that solve's settings and inputs.
struct Prepared {
    Prepared(Outcome<OptionResult> r) : done(std::move(r)) {}
    Prepared(const FdmConfig* s, const FdmMarket& m, double t) : settings(s), fdm(m), T(t) {}

    std::optional<Outcome<OptionResult>> done;
    const FdmConfig* settings = nullptr;
    FdmMarket fdm;
    double T = 0.0;
};

Prepared prepare_value(const VanillaOption& option, const MarketRecord& market, const ConfigTable& config,
                       const Instant& valuation, const MarketOverrides& overrides) {
    if (auto mismatch = check_day_counts(market)) return {std::move(*mismatch)};
    Outcome<Inputs> gathered = gather_inputs(option, market, valuation, overrides.spot);
    if (!gathered) return {std::move(gathered).error()};
    const Inputs& in = *gathered;
    const double sigma = overrides.vol ? *overrides.vol : market.vol_surface.volatility(option.strike, in.T);

    const PricingMethod& method = config.slot(option.style, option.type);
    if (method.kind == PricingMethod::Kind::Fdm) {
        return {&fdm_settings(method), FdmMarket{in.S, sigma, in.r, in.q}, in.T};
    }
    // Unset and Analytic alike.  An American option here gets the European
    // formula, except with a carry above the rate, which is not implemented.
    if (option.style == ExerciseStyle::American && in.q > in.r) {
        return {Error::panic(Reason::NotImplemented,
            "not implemented: American options with interest rate below dividend yield have not been implemented")};
    }
    return {black_scholes(option.type == OptionType::Call, in.S, option.strike, in.T, sigma, in.r, in.q)};
}

bool same_settings(const FdmConfig& a, const FdmConfig& b) noexcept {
    return a.transform.kind == b.transform.kind && a.transform.alpha == b.transform.alpha &&
           a.grid_nodes == b.grid_nodes && a.time_steps == b.time_steps && a.grid_std_devs == b.grid_std_devs;
}

// A dividend the solve of an option living T years would step across.
bool dividend_inside(const MarketRecord& market, const Instant& valuation, double T) noexcept {
    for (const Dividend& d : market.dividends) {
        const double t = act365_years(valuation, d.ex_date);
        if (t > 0.0 && t < T) return true;
    }
    return false;
}

}  // namespace

Outcome<OptionResult> value_option(const VanillaOption& option, const MarketRecord& market, const ConfigTable& config,
                                   const Instant& valuation, CancelCheck cancel, const MarketOverrides& overrides) {
    Prepared p = prepare_value(option, market, config, valuation, overrides);
    if (p.done) return std::move(*p.done);
    return solve_fdm(option, market.dividends, valuation, *p.settings, p.fdm, cancel);
}

void value_options(std::span<const VanillaOption> options, std::span<const MarketOverrides> overrides,
                   const MarketRecord& market, const ConfigTable& config, const Instant& valuation,
                   CancelCheck cancel, std::span<std::optional<Outcome<OptionResult>>> out) {
    // One group per exercise style, on the settings of its first lane.
    struct Group {
        const FdmConfig* settings = nullptr;
        std::array<FdmLane, kMaxLanes> lanes;
        std::array<std::size_t, kMaxLanes> where{};
        std::size_t count = 0;
    };
    std::array<Group, 2> groups;
    for (std::size_t i = 0; i < options.size(); ++i) {
        const VanillaOption& option = options[i];
        Prepared p = prepare_value(option, market, config, valuation, overrides[i]);
        if (p.done) {
            out[i] = std::move(*p.done);
            continue;
        }
        Group& g = groups[static_cast<std::size_t>(option.style)];
        const bool fits = (g.settings == nullptr || same_settings(*g.settings, *p.settings)) &&
                          g.count < kMaxLanes && !dividend_inside(market, valuation, p.T);
        if (!fits) {
            out[i] = solve_fdm(option, market.dividends, valuation, *p.settings, p.fdm, cancel);
            continue;
        }
        g.settings = p.settings;
        g.lanes[g.count] = FdmLane{option.type, option.strike, p.T, p.fdm};
        g.where[g.count++] = i;
    }
    for (std::size_t style = 0; style < groups.size(); ++style) {
        const Group& g = groups[style];
        if (g.count == 0) continue;
        std::array<std::optional<Outcome<OptionResult>>, kMaxLanes> results;
        solve_fdm_lanes(static_cast<ExerciseStyle>(style), {g.lanes.data(), g.count}, *g.settings, cancel,
                        {results.data(), g.count});
        for (std::size_t k = 0; k < g.count; ++k) out[g.where[k]] = std::move(results[k]);
    }
}

Outcome<double> implied_volatility(const VanillaOption& option, const MarketRecord& market, const ConfigTable& config,
                                   const Instant& valuation, std::optional<double> target, CancelCheck cancel,
                                   const VolSearch& bounds, std::optional<double> spot) {
    if (auto mismatch = check_day_counts(market)) return std::move(*mismatch);
    if (!target) return Error::value("Target price must be set before calling solve().");
    Outcome<Inputs> gathered = gather_inputs(option, market, valuation, spot);
    if (!gathered) return std::move(gathered).error();
    const Inputs in = *gathered;
    if (bounds.refuse_at_exercise_value) {
        const double floor = exercise_value(option, in);
        if (*target <= floor) {
            return Error::value(Reason::AtExerciseValue, "Target price " + format_shortest(*target) +
                                                             " is at or below the exercise value " +
                                                             format_shortest(floor));
        }
    }

    const ImpliedVolSolver solver = config.solver.value_or(ImpliedVolSolver{});
    const PricingMethod& method = config.slot(option.style, option.type);
    if (method.kind == PricingMethod::Kind::Fdm) {
        const FdmConfig& settings = fdm_settings(method);
        return search(solver, bounds, *target, [&](double sigma) -> Outcome<double> {
            // A small grid may finish before the engine polls at all, so the
            // search polls once per trial as well.
            if (cancel.cancelled()) return Error::cancelled();
            Outcome<OptionResult> res =
                solve_fdm(option, market.dividends, valuation, settings, FdmMarket{in.S, sigma, in.r, in.q}, cancel);
            if (!res) return std::move(res).error();
            return res->price;
        });
    }
    // No early-exercise check here: an American option in an analytic slot is
    // priced by the closed form whatever r and q are.
    const bool is_call = option.type == OptionType::Call;
    return search(solver, bounds, *target, [&](double sigma) -> Outcome<double> {
        return black_scholes(is_call, in.S, option.strike, in.T, sigma, in.r, in.q).price;
    });
}

}  // namespace zub
