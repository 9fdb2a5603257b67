#include "orchestration/exercise_boundary.hpp"

#include <cmath>
#include <limits>

#include "methods/exercise_boundary/dual.hpp"
#include "methods/exercise_boundary/put_boundary.hpp"
#include "methods/exercise_boundary/put_premium.hpp"
#include "orchestration/analytic.hpp"

namespace zub {

namespace {

using D2 = Dual<2>;  // derivatives in sigma and in the rate that is rho

OptionResult all_nan() {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    return {.price = nan, .greeks = {.delta = nan, .gamma = nan, .theta = nan, .vega = nan, .rho = nan}};
}

// The put P(S, K; r, q) with its Greeks, vega and `rate_sensitivity` (the
// derivative in r, or in q when `carry_is_rho`) in vega and rho.  One boundary.
OptionResult single_boundary_put(double S, double K, double T, double sigma, double r, double q, bool carry_is_rho,
                                 double tolerance) {
    const CollocationScheme& scheme = collocation_scheme(tolerance);
    const PutMarket<D2> m{.strike = K, .expiry = T, .vol = D2::seeded(sigma, 0),
                          .rate = carry_is_rho ? D2(r) : D2::seeded(r, 1),
                          .carry = carry_is_rho ? D2::seeded(q, 1) : D2(q)};
    const PutBoundary<D2> boundary = solve_put_boundary(scheme, m);

    // Exercise where S <= B(T), node 0.
    const double log_bt = boundary.log_start.v - std::sqrt(positive_part(boundary.h[0].v));
    if (std::log(S) <= log_bt) {
        return {.price = K - S, .greeks = {.delta = -1.0, .gamma = 0.0, .theta = 0.0, .vega = 0.0, .rho = 0.0}};
    }
    const PutPremium<D2> premium = put_premium(scheme, m, boundary, S);
    const OptionResult euro = black_scholes(OptionType::Put, K, T, {.spot = S, .vol = sigma, .rate = r, .carry = q});
    // d/dq of the European put is T S e^{-q T} N(-d+) = -T S delta.
    const double euro_rate = carry_is_rho ? -T * S * euro.greeks.delta : *euro.greeks.rho;

    OptionResult out;
    out.price = euro.price + premium.value.v;
    out.greeks.delta = euro.greeks.delta + premium.delta;
    out.greeks.gamma = euro.greeks.gamma + premium.gamma;
    out.greeks.vega = *euro.greeks.vega + premium.value.d[0];
    out.greeks.rho = euro_rate + premium.value.d[1];
    // dV/dt = r V - (r - q) S delta - sigma^2 S^2 gamma / 2 off the boundary.
    out.greeks.theta =
        r * out.price - (r - q) * S * out.greeks.delta - 0.5 * sigma * sigma * S * S * out.greeks.gamma;
    return out;
}

}  // namespace

OptionResult american_exercise_boundary(OptionType type, double K, double T, const MarketPoint& market,
                                        double tolerance) noexcept {
    const double S = market.spot, sigma = market.vol, r = market.rate, q = market.carry;
    const auto positive = [](double x) { return std::isfinite(x) && x > 0.0; };
    if (!positive(S) || !positive(K) || !positive(T) || !positive(sigma) || !std::isfinite(r) || !std::isfinite(q)) {
        return all_nan();
    }
    const bool is_call = type == OptionType::Call;
    // The put in whose terms the option is priced: the option itself, or the
    // call's mirror P(K, S; q, r).
    const double ps = is_call ? K : S, pk = is_call ? S : K, pr = is_call ? q : r, pq = is_call ? r : q;

    const bool single = pr > 0.0 || (pr == 0.0 && pq < 0.0);
    if (!single) {
        if (pr < 0.0 && pq < pr) return all_nan();  // two boundaries
        return black_scholes(type, K, T, market);   // never exercised early
    }
    const OptionResult put = single_boundary_put(ps, pk, T, sigma, pr, pq, is_call, tolerance);
    if (!is_call) return put;

    // C(S, K) = P(K, S), homogeneous of degree one in (K, S):
    // dC/dS = (P - K dP/dK') / S, d2C/dS2 = (K/S)^2 d2P/dK'2 with K' the put's spot.
    const Greeks& g = put.greeks;
    if (g.delta == -1.0 && g.gamma == 0.0 && g.theta == 0.0) {
        return {.price = S - K, .greeks = {.delta = 1.0, .gamma = 0.0, .theta = 0.0, .vega = 0.0, .rho = 0.0}};
    }
    const double ratio = K / S;
    return {.price = put.price,
            .greeks = {.delta = (put.price - K * g.delta) / S, .gamma = ratio * ratio * g.gamma, .theta = g.theta,
                       .vega = g.vega, .rho = g.rho}};
}

double american_exercise_boundary_floor(OptionType type, double K, double T, const MarketPoint& market) noexcept {
    const double S = market.spot;
    const double sign = type == OptionType::Call ? 1.0 : -1.0;
    const double forward = sign * (S * std::exp(-market.carry * T) - K * std::exp(-market.rate * T));
    return std::fmax(std::fmax(sign * (S - K), forward), 0.0);
}

}  // namespace zub
