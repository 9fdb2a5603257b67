#include "methods/exercise_boundary/chebyshev.hpp"

#include <cmath>
#include <numbers>

namespace zub {

double chebyshev_lobatto_point(std::size_t n, std::size_t j) noexcept {
    // Symmetric evaluation, so that z_{n-j} = -z_j to the bit.
    const double angle = std::numbers::pi * (static_cast<double>(n) - 2.0 * static_cast<double>(j)) /
                         (2.0 * static_cast<double>(n));
    return std::sin(angle);
}

void chebyshev_lobatto_basis(std::size_t n, double zeta, double* basis) noexcept {
    double sum = 0.0;
    for (std::size_t j = 0; j <= n; ++j) {
        const double diff = zeta - chebyshev_lobatto_point(n, j);
        if (diff == 0.0) {
            for (std::size_t k = 0; k <= n; ++k) basis[k] = k == j ? 1.0 : 0.0;
            return;
        }
        const double w = ((j % 2 == 0) ? 1.0 : -1.0) * ((j == 0 || j == n) ? 0.5 : 1.0);
        basis[j] = w / diff;
        sum += basis[j];
    }
    for (std::size_t j = 0; j <= n; ++j) basis[j] /= sum;
}

}  // namespace zub
