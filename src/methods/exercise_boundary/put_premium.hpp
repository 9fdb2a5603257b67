// The early-exercise premium of an American put over a given boundary.
#pragma once

#include "methods/exercise_boundary/put_boundary.hpp"

namespace zub {

template <class Real>
struct PutPremium {
    Real value;           // the premium, in Real's derivatives too
    double delta, gamma;  // its first and second derivatives in the spot, boundary fixed
};

// int_0^T [r K e^{-r (T-u)} N(-d-(T-u, S/B(u))) - q S e^{-q (T-u)} N(-d+(T-u, S/B(u)))] du
// by the scheme's price quadrature, for a spot S > 0 above the boundary.
template <class Real>
PutPremium<Real> put_premium(const CollocationScheme& scheme, const PutMarket<Real>& market,
                             const PutBoundary<Real>& boundary, double spot) noexcept;

}  // namespace zub
