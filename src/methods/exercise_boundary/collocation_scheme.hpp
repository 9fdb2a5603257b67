// Node counts and precomputed tables of the exercise-boundary solve.
#pragma once

#include <cstddef>
#include <vector>

namespace zub {

// The most collocation nodes and quadrature points of any scheme, for
// fixed-size working arrays.
inline constexpr std::size_t kMaxCollocation = 48;
inline constexpr std::size_t kMaxQuadrature = 96;

// One accuracy tier.  The boundary is collocated at the Chebyshev-Lobatto
// points of sqrt(tau) on [0, sqrt(T)], tau_i = T xi_i^2, xi_i = (1 + z_i) / 2
// for i = 0..n-1 (xi_0 = 1 is expiry; node n, tau = 0, is known).  Every
// integral over u in [0, tau] is taken in theta, u = tau cos^2 theta,
// tau - u = tau sin^2 theta, theta in [0, pi/2], by Gauss-Legendre: l points
// for the boundary equations, p for the price.  In theta both the
// 1/sqrt(tau - u) of the integrands at u = tau and the sqrt(u) behaviour of
// the boundary at u = 0 are smooth.  Every table is independent of the
// option.
struct CollocationScheme {
    double tolerance = 0.0;     // largest price error aimed for, as a fraction of the strike
    std::size_t n = 0, l = 0, m = 0;  // nodes, boundary quadrature points, Newton steps
    std::size_t p = 0;          // price quadrature points

    std::vector<double> xi;  // n: sqrt(tau_i / T)

    // Boundary quadrature, per point k < l:
    std::vector<double> cos2, sin2, sin1;  // cos^2 theta_k, sin^2 theta_k, sin theta_k
    std::vector<double> inv_sin1;          // 1 / sin theta_k
    std::vector<double> w_root;            // weight of du / sqrt(tau - u), per sqrt(tau)
    std::vector<double> w_flat;            // weight of du, per tau
    // interp[(i l + k) n + j]: the weight of H_j in H(sqrt(u)) at point k of node i.
    std::vector<double> interp;
    // interp_t[(i n + j) l + k]: the same weights, point index fastest.
    std::vector<double> interp_t;

    // Price quadrature over [0, T], per point k < p: the same substitution.
    std::vector<double> price_cos2, price_sin2, price_w_flat;
    std::vector<double> price_interp;  // [k n + j]
    std::vector<double> price_slope;   // [k n + j]: the weight of H_j in dH/dxi at point k, xi = sqrt(u / T)
};

// The tables for the given counts, n <= kMaxCollocation, l and p <= kMaxQuadrature.
CollocationScheme make_collocation_scheme(double tolerance, std::size_t n, std::size_t l, std::size_t m, std::size_t p);

// The coarsest tier whose tolerance is at most `tolerance`, which is taken
// within [1e-10, 1e-4] (NaN as 1e-6).  The tables are built once, on first use.
const CollocationScheme& collocation_scheme(double tolerance) noexcept;

}  // namespace zub
