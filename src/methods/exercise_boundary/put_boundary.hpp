// The early-exercise boundary of an American put, by collocation.
#pragma once

#include <array>

#include "methods/exercise_boundary/collocation_scheme.hpp"
#include "methods/exercise_boundary/dual.hpp"

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

// Solves the smooth-pasting equations
//   B(tau) = K exp(-(r - q) tau) N(tau, B) / D(tau, B),
//   N = n(d-(tau, B/K)) / (sigma sqrt tau) + r int_0^tau e^{r u} n(d-(tau - u, B(tau)/B(u))) / (sigma sqrt(tau - u)) du,
//   D = n(d+(tau, B/K)) / (sigma sqrt tau) + N(d+(tau, B/K))
//       + q int_0^tau e^{q u} [N(d+(tau - u, .)) + n(d+(tau - u, .)) / (sigma sqrt(tau - u))] du,
// d+-(t, z) = (ln z + (r - q) t +- sigma^2 t / 2) / (sigma sqrt t), at the
// scheme's nodes by damped Newton steps on s_i = ln(X / B(tau_i)) from the
// quadratic approximation's boundary: the same m steps for every option of
// one scheme, no stopping test.  (Iterating the equation itself diverges at
// low volatility with r well above q.)  For a Dual market the boundary is solved in doubles and its
// derivatives follow from the last step's evaluation of the equations, taken
// with their derivatives, and its Jacobian.
// Requires a single boundary, r > 0, or r = 0 > q; then X = K min(1, r / q)
// for q > 0 and X = K otherwise.  Allocation-free.
template <class Real>
PutBoundary<Real> solve_put_boundary(const CollocationScheme& scheme, const PutMarket<Real>& market) noexcept;

template <>
PutBoundary<double> solve_put_boundary(const CollocationScheme&, const PutMarket<double>&) noexcept;
template <>
PutBoundary<Dual<2>> solve_put_boundary(const CollocationScheme&, const PutMarket<Dual<2>>&) noexcept;

}  // namespace zub
