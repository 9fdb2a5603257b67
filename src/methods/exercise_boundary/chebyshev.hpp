// Polynomial interpolation at Chebyshev-Lobatto points.
#pragma once

#include <cstddef>

namespace zub {

// Lagrange basis of the Chebyshev-Lobatto points z_j = cos(j pi / n), j = 0..n,
// at zeta in [-1, 1]: basis[j] = l_j(zeta), so that the interpolant of values
// y_j is sum_j basis[j] y_j.  basis holds n + 1 entries; n >= 1.  By the
// barycentric formula, with the weights (-1)^j halved at both ends.
void chebyshev_lobatto_basis(std::size_t n, double zeta, double* basis) noexcept;

// The point z_j = cos(j pi / n).
double chebyshev_lobatto_point(std::size_t n, std::size_t j) noexcept;

}  // namespace zub
