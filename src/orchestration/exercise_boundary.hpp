// American options by the exercise-boundary fixed-point method.
#pragma once

#include "instruments/vanilla_option.hpp"
#include "market/market_point.hpp"
#include "orchestration/option_result.hpp"

namespace zub {

// Price and all five Greeks of an American call or put without cash dividends
// under Black-Scholes with constant r (market.rate), q (market.carry), sigma (market.vol),
// spot market.spot, strike K, T years to expiry.  `tolerance` is the largest price
// error aimed for, as a fraction of the strike (1e-6 default, down to 1e-10).
// Node and iteration counts depend on the tolerance only.  Never fails for finite
// positive inputs; non-finite or non-positive S, K, T, sigma give NaN fields, not a crash.
//
// A put is exercised early only where r K > q S below the strike: over one
// boundary when r > 0, or r = 0 > q; never when r <= 0 <= q - r, where the
// European closed form is returned.  In the exercise region the price is the
// exercise value, delta is +-1 and the other Greeks are 0.  Delta and gamma
// are taken with the boundary fixed, theta (per year of calendar time) from
// the pricing equation, vega and rho exactly, through the boundary's
// equations.  Calls by put-call symmetry, C(S, K; r, q) = P(K, S; q, r).
// When q < r < 0 a put's exercise region is a band between two boundaries;
// that case is not priced: every field is NaN.
OptionResult american_exercise_boundary(OptionType type, double K, double T, const MarketPoint& market,
                                        double tolerance = 1e-6) noexcept;

}  // namespace zub
