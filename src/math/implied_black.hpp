// Black's implied volatility by a rational inversion, in the manner of
// P. Jäckel, "Let's Be Rational" (Wilmott, January 2015, and the author's
// later revisions), written from the paper's mathematics:
//
// - the price is normalised to b(x, s) = e^{x/2} N(x/s + s/2) - e^{-x/2} N(x/s - s/2)
//   (a call; x = ln(F/K), s = sigma sqrt(T)), reduced to the out-of-the-money
//   call x <= 0, whose price lies in [0, e^{x/2});
// - b is evaluated to a few ulps everywhere: a Taylor series in s/2 for small
//   s, the scaled complementary error function erfcx elsewhere, and the
//   distance to the upper bound e^{x/2} - b from its own positive terms;
// - the initial guess comes from four branches split at s_c = sqrt(2|x|),
//   where b has its inflection: rational cubic interpolations of s in the
//   price on the two middle branches, and of transformed prices (asymptotic
//   maps of b at small and at large s) on the lowest and highest branch;
// - at most two Householder steps of order three (convergence order four) on
//   an objective per branch: 1/ln b in the lowest, b itself in the middle,
//   ln(e^{x/2} - b) in the highest.
//
// No tables, no state, no allocation.
#pragma once

#include <cstdint>

namespace zub {

enum class BlackInversionStatus : uint8_t {
    Ok,              // vol holds the answer (0 for a price at its lower bound)
    BelowIntrinsic,  // the price is below what the option is worth without volatility
    AboveMaximum,    // the price is at or above its limit for infinite volatility
    NotANumber,      // an input is NaN (or A, B, T not finite and positive)
};

struct BlackInversion {
    double vol;  // NaN unless status is Ok
    BlackInversionStatus status;
};

// The normalised call b(x, s) for any x and s >= 0, to a few ulps.
double normalised_black_call(double x, double s) noexcept;

// The s >= 0 with b(x, s) = beta for a normalised call price beta (the
// price divided by sqrt(F K) times the discount factor); the Householder
// steps taken (0 to 2) into `iterations` when given.
BlackInversion normalised_implied_volatility(double beta, double x, int* iterations = nullptr) noexcept;

// The volatility at which a European option of `call` type, with
// discounted forward A = S e^{-qT}, discounted strike B = K e^{-rT} and T
// years to expiry, is worth `price` (today's money) under Black-Scholes.
// The distance of the price from its limit for infinite volatility (A for
// a call, B for a put) is taken from `price` itself, so quotes close to that
// limit keep all their digits.
BlackInversion implied_black_volatility(double price, double A, double B, double T, bool call,
                                        int* iterations = nullptr) noexcept;

}  // namespace zub
