// Gauss-Legendre quadrature rules.
#pragma once

#include <cstddef>

namespace zub {

// The l-point Gauss-Legendre rule on [-1, 1]: nodes[k] ascending, weights[k]
// positive, both arrays of at least l entries; l >= 1.  Newton's method on
// the Legendre polynomial from the asymptotic node positions, to full
// double precision for l up to several hundred.
void gauss_legendre(std::size_t l, double* nodes, double* weights) noexcept;

}  // namespace zub
