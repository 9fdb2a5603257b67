#include "orchestration/exercise_boundary.hpp"

#include <cmath>
#include <limits>
#include <optional>

#include "methods/exercise_boundary/dual.hpp"
#include "methods/exercise_boundary/put_boundary.hpp"
#include "methods/exercise_boundary/put_premium.hpp"
#include "orchestration/analytic.hpp"
#include "orchestration/put_call_symmetry.hpp"

namespace zub {

namespace {

using D2 = Dual<2>;  // derivatives in sigma and in the rate that is rho

OptionResult all_nan() {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    return {.price = nan, .greeks = {.delta = nan, .gamma = nan, .theta = nan, .vega = nan, .rho = nan}};
}

// The put P(S, K; r, q) with its Greeks, vega and the derivative in r (in q
// when `carry_is_rho`) as rho, over one boundary; none when S is in the
// exercise region.
std::optional<OptionResult> single_boundary_put(double S, double K, double T, double sigma, double r, double q,
                                                bool carry_is_rho, double tolerance) {
    const CollocationScheme& scheme = collocation_scheme(tolerance);
    const PutMarket<D2> m{.strike = K, .expiry = T, .vol = D2::seeded(sigma, 0),
                          .rate = carry_is_rho ? D2(r) : D2::seeded(r, 1),
                          .carry = carry_is_rho ? D2::seeded(q, 1) : D2(q)};
    const PutBoundary<D2> boundary = solve_put_boundary(scheme, m);

    // Exercise where S <= B(T), node 0.
    const double log_bt = boundary.log_start.v - std::sqrt(positive_part(boundary.h[0].v));
    if (std::log(S) <= log_bt) return std::nullopt;
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
    std::optional<OptionResult> put = single_boundary_put(ps, pk, T, sigma, pr, pq, is_call, tolerance);
    if (!put) {
        const double phi = is_call ? 1.0 : -1.0;
        return {.price = (S - K) * phi, .greeks = {.delta = phi, .gamma = 0.0, .theta = 0.0, .vega = 0.0, .rho = 0.0}};
    }
    if (is_call) call_from_mirror_put(*put, K, S);
    return *put;
}

}  // namespace zub
