#include "orchestration/fdm_plan.hpp"

#include <algorithm>
#include <cmath>

namespace zub {

void dividend_jumps(std::span<const DividendAt> dividends, double T, std::vector<Jump>& jumps,
                    std::vector<Jump>& inside) {
    inside.clear();
    jumps.clear();
    for (const DividendAt& d : dividends) {
        if (d.time > 0.0 && d.time < T) inside.push_back({d.time, d.amount});
    }
    std::stable_sort(inside.begin(), inside.end(), [](const Jump& a, const Jump& b) { return a.time > b.time; });
    for (const Jump& d : inside) {
        if (jumps.empty() || jumps.back().time != d.time) jumps.push_back({d.time, 0.0});
        if (d.amount > 0.0) jumps.back().amount += d.amount;
    }
}

namespace {

// A call's value grows like the spot, and the strike-centred grid resolves
// that part poorly where it is sparse: far above the strike, which the
// domain reaches as sigma sqrt(T) grows (the error grows like sigma^2), and
// where the exercise boundary of a call with a carry lies.  The
// mirror-image put P(K, S; q, r), with spot and strike swapped and rate and
// carry swapped, has exactly the call's value C(S, K; r, q), American or
// European, when no cash dividend intervenes; its value is bounded where the
// call's grows.  A call is priced as the blend (1 - w) C + w P of the two
// solves, w rising smoothly, so that prices stay continuous:
// - with sigma sqrt(T) from 1 (w = 0: the call's own grid, as before) to 2
//   (w = 1), which keeps prices increasing in sigma;
// - for an American call that may be exercised early, with the carry q from
//   0 (w = 0) to r / 4 (w = 1): the call's exercise region lies far above
//   the strike, where its own grid is sparse and loses the early-exercise
//   premium, while the put's lies near its spot; with r <= 0 < q, w = 1.
// The two weights combine as 1 - (1 - w_sigma)(1 - w_carry).  An American
// call that is never exercised early (q <= 0 <= r) is priced as the
// European one.
constexpr double kMirrorFromSpread = 1.0;
constexpr double kMirrorOnlySpread = 2.0;

// 0 below 0, 1 above 1, 3t^2 - 2t^3 between; NaN gives 0.
double smoothstep(double t) noexcept {
    if (!(t > 0.0)) return 0.0;
    if (t >= 1.0) return 1.0;
    return t * t * (3.0 - 2.0 * t);
}

// smoothstep's slope: 6t(1 - t) inside (0, 1), 0 elsewhere.
double smoothstep_slope(double t) noexcept { return t > 0.0 && t < 1.0 ? 6.0 * t * (1.0 - t) : 0.0; }

double spread_position(double sigma, double T) noexcept {
    return (sigma * std::sqrt(T) - kMirrorFromSpread) / (kMirrorOnlySpread - kMirrorFromSpread);
}

double mirror_weight_for_spread(double sigma, double T) noexcept { return smoothstep(spread_position(sigma, T)); }

// d w_sigma / dT = smoothstep'(t) sigma / (2 sqrt T) / (spread of the band).
double mirror_weight_slope_in_time(double sigma, double T) noexcept {
    return smoothstep_slope(spread_position(sigma, T)) * sigma / (2.0 * std::sqrt(T)) /
           (kMirrorOnlySpread - kMirrorFromSpread);
}

double mirror_weight_for_carry(double r, double q) noexcept {
    if (r > 0.0) return smoothstep(q / (0.25 * r));
    return q > 0.0 ? 1.0 : 0.0;
}

// The mirror-image put of a call: strike and spot swapped, rate and carry
// swapped.  An American put is read off its excess over the exercise value
// (puts priced as themselves keep the plain read-off).
GridSolve mirror_solve(ExerciseStyle scheme, double strike, double T, const MarketPoint& market,
                       double grid_vol) noexcept {
    return {.type = OptionType::Put,
            .scheme = scheme,
            .strike = market.spot,
            .T = T,
            .market = {.spot = strike, .vol = market.vol, .rate = market.carry, .carry = market.rate},
            .how = {market.spot, scheme == ExerciseStyle::American ? -1.0 : 0.0},
            .mirror = true,
            .grid_vol = grid_vol};
}

}  // namespace

FdmPlan plan_fdm(OptionType type, ExerciseStyle style, double strike, double T, bool cash_dividend,
                 std::span<const Jump> jumps, const MarketPoint& market, double grid_vol) noexcept {
    if (std::isnan(grid_vol)) grid_vol = market.vol;
    FdmPlan plan;
    plan.type = type;
    plan.american = style == ExerciseStyle::American;
    plan.strike = strike;
    plan.spot = market.spot;
    plan.in_lanes = jumps.empty() && T > 0.0 && std::isfinite(T);
    // An American grid is read off its excess over the exercise value.
    const auto read_off = [&](ExerciseStyle scheme) {
        const double phi = type == OptionType::Call ? 1.0 : -1.0;
        return ReadOff{strike, scheme == ExerciseStyle::American ? phi : 0.0};
    };
    GridSolve own{.type = type,
                  .scheme = style,
                  .strike = strike,
                  .T = T,
                  .market = market,
                  .how = read_off(style),
                  .grid_vol = grid_vol};
    plan.solves[0] = own;
    if (type == OptionType::Put) return plan;

    // A call has its mirror only with the symmetry: no cash dividend inside
    // the life, and finite, positive inputs.
    const bool finite = std::isfinite(market.rate) && std::isfinite(market.carry) && std::isfinite(market.vol);
    const bool symmetric = finite && market.spot > 0.0 && std::isfinite(market.spot) && strike > 0.0 &&
                           std::isfinite(strike) && !cash_dividend;
    if (!symmetric) return plan;
    if (market.carry <= 0.0 && market.rate >= 0.0) style = ExerciseStyle::European;
    const double w_carry =
        style == ExerciseStyle::American ? mirror_weight_for_carry(market.rate, market.carry) : 0.0;
    plan.keep = (1.0 - mirror_weight_for_spread(market.vol, T)) * (1.0 - w_carry);
    plan.w = 1.0 - plan.keep;
    plan.dkeep_dT = -(1.0 - w_carry) * mirror_weight_slope_in_time(market.vol, T);
    own.scheme = style;
    own.how = read_off(style);
    plan.solves[0] = own;
    if (plan.w == 0.0) return plan;
    plan.solves[0] = mirror_solve(style, strike, T, market, grid_vol);
    if (plan.w == 1.0) return plan;
    plan.solves[1] = own;
    plan.count = 2;
    return plan;
}

}  // namespace zub
