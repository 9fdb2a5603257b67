// Elementary functions over arrays of arguments, four elements at a time in
// straight-line vector code.  Each result depends on its own argument alone:
// an argument gives the same bits whatever its position in the array or the
// array's length.  The arrays may coincide (out == x).
#pragma once

#include <cstddef>

namespace zub {

// out[i] = e^{x[i]} for i < count, within an ulp: the reduction and rational
// form of fdlibm's exp.  0 below about -745.13, +inf above about 709.78, NaN
// at NaN.
void exp_lanes(const double* x, double* out, std::size_t count) noexcept;

// cdf[i] = N(x[i]) and pdf[i] = exp(-x[i]^2 / 2) / sqrt(2 pi) for i < count,
// both within a few ulps relative to the function at x[i] itself, the lower
// tail included down to where N underflows (x about -38.5).  N is 0 at -inf
// and 1 at +inf, pdf 0 at both; NaN at NaN.  N is erfc(-x / sqrt 2) / 2 by
// fdlibm's rational approximations; in the tails exp(-x^2 / 2) is taken from
// x split into a 21-bit head and a tail, so that its exponent is exact, and
// serves both functions.
void normal_cdf_pdf_lanes(const double* x, double* cdf, double* pdf, std::size_t count) noexcept;

}  // namespace zub
