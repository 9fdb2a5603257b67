#include "methods/exercise_boundary/collocation_scheme.hpp"

#include <array>
#include <cmath>
#include <numbers>

#include "methods/exercise_boundary/chebyshev.hpp"
#include "methods/exercise_boundary/gauss_legendre.hpp"

namespace zub {

namespace {

struct Counts {
    double tolerance;
    std::size_t n, l, m, p;
};

// Chosen by measurement against high-precision reference prices.
constexpr std::array<Counts, 4> kTiers{{
    {1e-4, 6, 8, 3, 16},
    {1e-6, 8, 10, 4, 20},
    {1e-8, 14, 16, 4, 36},
    {1e-10, 22, 28, 5, 64},
}};

// Gauss-Legendre in theta on [0, pi/2].
void theta_rule(std::size_t count, std::array<double, kMaxQuadrature>& theta,
                std::array<double, kMaxQuadrature>& weight) {
    std::array<double, kMaxQuadrature> x{}, w{};
    gauss_legendre(count, x.data(), w.data());
    for (std::size_t k = 0; k < count; ++k) {
        theta[k] = 0.25 * std::numbers::pi * (1.0 + x[k]);
        weight[k] = 0.25 * std::numbers::pi * w[k];
    }
}

CollocationScheme build(const Counts& c) {
    CollocationScheme s;
    s.tolerance = c.tolerance;
    s.n = c.n;
    s.l = c.l;
    s.m = c.m;
    s.p = c.p;
    const std::size_t n = c.n;
    std::array<double, kMaxCollocation + 1> basis{};
    for (std::size_t i = 0; i < n; ++i) s.xi.push_back(0.5 * (1.0 + chebyshev_lobatto_point(n, i)));

    std::array<double, kMaxQuadrature> theta{}, weight{};
    theta_rule(c.l, theta, weight);
    for (std::size_t k = 0; k < c.l; ++k) {
        const double sn = std::sin(theta[k]), cs = std::cos(theta[k]);
        s.cos2.push_back(cs * cs);
        s.sin2.push_back(sn * sn);
        s.sin1.push_back(sn);
        s.inv_sin1.push_back(1.0 / sn);
        s.w_root.push_back(weight[k] * 2.0 * cs);    // du / sqrt(tau - u) = 2 sqrt(tau) cos theta dtheta
        s.w_flat.push_back(weight[k] * 2.0 * sn * cs);  // du = 2 tau sin theta cos theta dtheta
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < c.l; ++k) {
            // sqrt(u) / sqrt(T) = xi_i cos theta_k, at z = 2 xi_i cos theta_k - 1.
            chebyshev_lobatto_basis(n, 2.0 * s.xi[i] * std::cos(theta[k]) - 1.0, basis.data());
            for (std::size_t j = 0; j < n; ++j) s.interp.push_back(basis[j]);
        }
    }
    s.interp_t.resize(s.interp.size());
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < c.l; ++k) {
            for (std::size_t j = 0; j < n; ++j) s.interp_t[(i * n + j) * c.l + k] = s.interp[(i * c.l + k) * n + j];
        }
    }

    theta_rule(c.p, theta, weight);
    for (std::size_t k = 0; k < c.p; ++k) {
        const double sn = std::sin(theta[k]), cs = std::cos(theta[k]);
        s.price_cos2.push_back(cs * cs);
        s.price_sin2.push_back(sn * sn);
        s.price_w_flat.push_back(weight[k] * 2.0 * sn * cs);
        const double z = 2.0 * cs - 1.0;
        chebyshev_lobatto_basis(n, z, basis.data());
        for (std::size_t j = 0; j < n; ++j) s.price_interp.push_back(basis[j]);
        // l_j'(z) = l_j(z) (sum_i l_i(z) / (z - z_i) - 1 / (z - z_j)) off the nodes; dz/dxi = 2.
        double sum = 0.0;
        for (std::size_t j = 0; j <= n; ++j) sum += basis[j] / (z - chebyshev_lobatto_point(n, j));
        for (std::size_t j = 0; j < n; ++j) {
            s.price_slope.push_back(2.0 * basis[j] * (sum - 1.0 / (z - chebyshev_lobatto_point(n, j))));
        }
    }
    return s;
}

}  // namespace

CollocationScheme make_collocation_scheme(double tolerance, std::size_t n, std::size_t l, std::size_t m,
                                          std::size_t p) {
    return build({tolerance, n, l, m, p});
}

namespace {

struct Schemes {
    std::array<CollocationScheme, kTiers.size()> tiers;
    Schemes() {
        for (std::size_t t = 0; t < kTiers.size(); ++t) tiers[t] = build(kTiers[t]);
    }
};

}  // namespace

const CollocationScheme& collocation_scheme(double tolerance) noexcept {
    static const Schemes schemes;
    if (!(tolerance == tolerance)) tolerance = 1e-6;
    for (const CollocationScheme& s : schemes.tiers) {
        if (s.tolerance <= tolerance * (1.0 + 1e-9)) return s;
    }
    return schemes.tiers.back();
}

}  // namespace zub
