// The early-exercise boundary of an American put, by collocation.
#pragma once

#include <array>

#include "methods/exercise_boundary/collocation_scheme.hpp"

namespace zub {

// A put's market in the form the boundary equations take it; Real is double
// or a Dual carrying derivatives in vol, rate or carry.
template <class Real>
struct PutMarket {
    double strike = 0.0, expiry = 0.0;  // K > 0, T > 0
    Real vol, rate, carry;              // sigma > 0, r, q
};

// The boundary B(tau) of a put on [0, T] as B = X exp(-sqrt(H(sqrt tau))),
// X = B(0+), H collocated at the scheme's nodes (H = 0 at tau = 0).
template <class Real>
struct PutBoundary {
    Real log_start;                             // ln X
    std::array<Real, kMaxCollocation> h{};      // H at nodes 0..n-1; node 0 is tau = T
};

// Solves the smooth-pasting fixed-point system ("FP-B")
//   B(tau) = K exp(-(r - q) tau) N(tau, B) / D(tau, B),
//   N = n(d-(tau, B/K)) / (sigma sqrt tau) + r int_0^tau e^{r u} n(d-(tau - u, B(tau)/B(u))) / (sigma sqrt(tau - u)) du,
//   D = n(d+(tau, B/K)) / (sigma sqrt tau) + N(d+(tau, B/K))
//       + q int_0^tau e^{q u} [N(d+(tau - u, .)) + n(d+(tau - u, .)) / (sigma sqrt(tau - u))] du,
// d+-(t, z) = (ln z + (r - q) t +- sigma^2 t / 2) / (sigma sqrt t), by one
// Jacobi-Newton step from B = X followed by m - 1 plain fixed-point
// iterations: the same operations for every option of one scheme, no
// stopping test.  Requires a single boundary, r > 0, or r = 0 > q; then
// X = K min(1, r / q) for q > 0 and X = K otherwise.  Allocation-free.
template <class Real>
PutBoundary<Real> solve_put_boundary(const CollocationScheme& scheme, const PutMarket<Real>& market) noexcept;

}  // namespace zub
