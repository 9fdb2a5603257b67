// Standard normal distribution: cumulative distribution and density.
#pragma once

#include <cmath>

namespace zub {

// The error function by the fdlibm rational approximations: exact to within
// an ulp, ±1 from |x| >= 6 on, ±1 at ±inf, NaN at NaN.  No tables, no state,
// at most two exponentials.
double error_function(double x) noexcept;

// P(Z <= x) as (erf(x / sqrt 2) + 1) / 2.  The sum loses relative accuracy in
// the far lower tail and is exactly 0 below about -8.3.
inline double norm_cdf(double x) noexcept {
    // A division by sqrt 2 rather than a multiplication by its reciprocal:
    // the two differ in the last bit for some arguments.
    const double e = error_function(x / 1.4142135623730951);
    return (e + 1.0) * 0.5;
}

// N(x) and N(-x) from one error-function evaluation.  The error function is
// odd to the bit (every branch negates exactly), and -x / sqrt 2 is
// -(x / sqrt 2), so (1 - e) / 2 is bit for bit what norm_cdf(-x) computes;
// it is not 1 - N(x), which would lose the small tail value.
struct CdfPair {
    double at;       // N(x)
    double at_neg;   // N(-x)
};
inline CdfPair norm_cdf_pair(double x) noexcept {
    const double e = error_function(x / 1.4142135623730951);
    return {(e + 1.0) * 0.5, (1.0 - e) * 0.5};
}

// ln N(x), accurate in the far lower tail where N(x) itself is 0: there it
// is ln(erfc(z) / 2), z = -x / sqrt 2, from the same rational
// approximation of erfc(z) z exp(z^2) that error_function uses.
double log_norm_cdf(double x) noexcept;

// erfc(x) e^{x^2} for x >= 0, from the same rational approximations as
// error_function, to a few ulps; for large x it tends to 1/(x sqrt(pi)).
double scaled_erfc(double x) noexcept;
// The same with e^{x^2} given by the caller (a ratio of exponentials it
// already has), used only below x = 0.46875, where the function needs it; a
// given value that is not finite (or below 1/2) is worked out instead.
double scaled_erfc(double x, double exp_x_squared) noexcept;

// exp(-x^2/2) / sqrt(2 pi), the divisor being sqrt(2 pi) rounded to a double.
inline double norm_pdf(double x) noexcept { return std::exp(-0.5 * x * x) / 2.5066282746310002; }

}  // namespace zub
