#include "execution/valuation.hpp"

#include <cmath>
#include <string>
#include <utility>

#include "execution/root_search.hpp"
#include "orchestration/analytic.hpp"
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
    MarketPoint market;  // vol left 0: each pricing sets its own
};

// The rate curve and the surface must measure time alike.  The curve may
// throw Panic for a kind that has no convention.
std::optional<Error> check_day_counts(const MarketRecord& market) {
    const DayCountConvention rates = market.rate_curve.day_count();
    const DayCountConvention& vol = market.vol_surface.day_count();
    if (rates == vol) return std::nullopt;
    return Error::value("Mismatched day count conventions: Rates use " + rates.debug_text() + ", while Vol uses " +
                        vol.debug_text() + ". They must be identical.");
}

// T, S, r and q at the valuation instant; an option at or past expiry (or with
// a time to expiry that is not a number) cannot be priced by either engine.
Outcome<Inputs> gather_inputs(const VanillaOption& option, const MarketRecord& market, const Instant& valuation) {
    const double T = option.years_to_expiry(valuation);
    if (!(T > 0.0)) return Error::value("Option has expired: the valuation time is at or after expiry");
    const double r = market.rate_curve.zero_rate(T);
    const double q = market.borrow_curve ? market.borrow_curve->zero_rate(T) : 0.0;
    return Inputs{T, MarketPoint{.spot = market.spot, .rate = r, .carry = q}};
}

MarketPoint with_vol(MarketPoint m, double sigma) noexcept {
    m.vol = sigma;
    return m;
}

const FdmConfig& fdm_settings(const PricingMethod& method) noexcept {
    return method.fdm ? *method.fdm : kDefaultFdm;
}

}  // namespace

Outcome<OptionResult> value_option(const VanillaOption& option, const MarketRecord& market, const ConfigTable& config,
                                   const Instant& valuation, CancelCheck cancel) {
    if (auto mismatch = check_day_counts(market)) return std::move(*mismatch);
    Outcome<Inputs> gathered = gather_inputs(option, market, valuation);
    if (!gathered) return std::move(gathered).error();
    const Inputs& in = *gathered;
    const MarketPoint point{.spot = in.market.spot,
                            .vol = market.vol_surface.volatility(option.strike, in.T),
                            .rate = in.market.rate,
                            .carry = in.market.carry};

    const PricingMethod& method = config.slot(option.style, option.type);
    if (method.kind == PricingMethod::Kind::Fdm) {
        return solve_fdm(option, market.dividends, valuation, fdm_settings(method), point, cancel);
    }
    // Unset and Analytic alike.  An American option here gets the European
    // formula, except with a carry above the rate, which is not implemented.
    if (option.style == ExerciseStyle::American && point.carry > point.rate) {
        return Error::panic(
            "not implemented: American options with interest rate below dividend yield have not been implemented");
    }
    return black_scholes(option.type, option.strike, in.T, point);
}

Outcome<double> implied_volatility(const VanillaOption& option, const MarketRecord& market, const ConfigTable& config,
                                   const Instant& valuation, std::optional<double> target, CancelCheck cancel) {
    if (auto mismatch = check_day_counts(market)) return std::move(*mismatch);
    if (!target) return Error::value("Target price must be set before calling solve().");
    Outcome<Inputs> gathered = gather_inputs(option, market, valuation);
    if (!gathered) return std::move(gathered).error();
    const Inputs in = *gathered;

    const ImpliedVolSolver solver = config.solver.value_or(ImpliedVolSolver{});
    const PricingMethod& method = config.slot(option.style, option.type);
    if (method.kind == PricingMethod::Kind::Fdm) {
        const FdmConfig& settings = fdm_settings(method);
        return root_search::search(solver, *target, [&](double sigma) -> Outcome<double> {
            // A small grid may finish before the engine polls at all, so the
            // search polls once per trial as well.
            if (cancel.cancelled()) return Error::cancelled();
            Outcome<OptionResult> res =
                solve_fdm(option, market.dividends, valuation, settings, with_vol(in.market, sigma), cancel);
            if (!res) return std::move(res).error();
            return res->price;
        });
    }
    // No early-exercise check here: an American option in an analytic slot is
    // priced by the closed form whatever r and q are.
    return root_search::search(solver, *target, [&](double sigma) -> Outcome<double> {
        return black_scholes(option.type, option.strike, in.T, with_vol(in.market, sigma)).price;
    });
}

}  // namespace zub
