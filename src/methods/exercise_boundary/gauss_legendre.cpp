#include "methods/exercise_boundary/gauss_legendre.hpp"

#include <cmath>
#include <numbers>

namespace zub {

namespace {

struct Legendre {
    double p;   // P_l(x)
    double dp;  // P_l'(x)
};

// P_l and its derivative at x by the three-term recurrence.
Legendre legendre(std::size_t l, double x) noexcept {
    double p0 = 1.0, p1 = x;
    for (std::size_t j = 2; j <= l; ++j) {
        const double jd = static_cast<double>(j);
        const double p2 = ((2.0 * jd - 1.0) * x * p1 - (jd - 1.0) * p0) / jd;
        p0 = p1;
        p1 = p2;
    }
    return {p1, l == 1 ? 1.0 : static_cast<double>(l) * (x * p1 - p0) / (x * x - 1.0)};
}

}  // namespace

void gauss_legendre(std::size_t l, double* nodes, double* weights) noexcept {
    const double n = static_cast<double>(l);
    for (std::size_t k = 0; k < (l + 1) / 2; ++k) {
        // Root k+1 from the top, near cos(pi (k + 3/4) / (n + 1/2)), by Newton's method.
        double x = std::cos(std::numbers::pi * (static_cast<double>(k) + 0.75) / (n + 0.5));
        for (int it = 0; it < 100; ++it) {
            const Legendre at = legendre(l, x);
            const double step = at.p / at.dp;
            x -= step;
            if (std::fabs(step) < 1e-16) break;
        }
        const double dp = legendre(l, x).dp;
        const double w = 2.0 / ((1.0 - x * x) * dp * dp);
        nodes[l - 1 - k] = x;
        nodes[k] = -x;
        weights[k] = weights[l - 1 - k] = w;
    }
    if (l % 2 == 1) nodes[l / 2] = 0.0;
}

}  // namespace zub
