// Put-call symmetry: a call C(S, K; r, q) is worth the put P(K, S; q, r),
// spot and strike swapped and rate and carry swapped, American or European,
// when no cash dividend falls in its life.
#pragma once

#include "orchestration/option_result.hpp"

namespace zub {

// The call's result from its mirror put's, solved at spot K (the call's
// strike) with strike S (the call's spot): price and theta alike; by
// homogeneity of degree one in (spot, strike), delta (P - K dP/dK)/S and
// gamma (K/S)^2 d2P/dK2, the put's derivatives being in its spot K.  Vega
// carries over, and so does the put's derivative in its carry, which is
// the call's rho.
inline void call_from_mirror_put(OptionResult& out, double strike, double spot) noexcept {
    const double ratio = strike / spot;
    out.greeks.delta = out.price / spot - ratio * out.greeks.delta;
    out.greeks.gamma *= ratio * ratio;
}

}  // namespace zub
