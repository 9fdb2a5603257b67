// Closed-form Black-Scholes with a continuous carry.
#pragma once

#include <cstddef>
#include <span>

#include "instruments/vanilla_option.hpp"
#include "market/dividend.hpp"
#include "market/market_point.hpp"
#include "orchestration/option_result.hpp"

namespace zub {

// What the closed form takes from the time to expiry and the rates alone,
// shared by every option of one expiry on one market.
struct Horizon {
    double T = 0.0;      // Actual/365 Fixed years to expiry
    double root_T = 0.0;  // sqrt(T)
    double rate = 0.0, carry = 0.0;
    double rate_exponent = 0.0, carry_exponent = 0.0;  // -r T and -q T
    double rate_discount = 0.0, carry_discount = 0.0;  // their exponentials
};
Horizon horizon(double T, double rate, double carry) noexcept;

// Options priced together by the closed form, one array per quantity: the
// i-th option is of type[i], strike[i], at spot[i] and volatility vol[i],
// on the horizon *horizon[i].
struct ClosedFormBlock {
    const OptionType* type;
    const double* strike;
    const double* spot;
    const double* vol;
    const Horizon* const* horizon;
};

// Their prices and Greeks, one array per number.
struct ClosedFormOutputs {
    double* price;
    double* delta;
    double* gamma;
    double* theta;
    double* vega;
    double* rho;
};

// The first `count` options of `in` into `out`, each to the bit what
// black_scholes gives it alone; several at a time in vector code.
void black_scholes_block(const ClosedFormBlock& in, std::size_t count, const ClosedFormOutputs& out) noexcept;

// Price and all five Greeks of a European call or put of strike K on the market
// point m; allocation-free.  T is the Actual/365 Fixed time to expiry.
OptionResult black_scholes(OptionType type, double K, double T, const MarketPoint& m) noexcept;
// The same at spot S and volatility sigma, to the bit, from the horizon's
// rates and factors.
OptionResult black_scholes(OptionType type, double K, double S, double sigma, const Horizon& h) noexcept;

// What the option is worth without volatility: the forward intrinsic value
// discounted to today, and for an American option at least the value of
// exercising at any of the times it may: now, just before each cash
// dividend, at expiry.  The forward to t is S e^{(r-q)t} less the
// dividends paid before t, each grown from its date to t (`dividends` in
// years, those with a positive amount inside (0, T); none for a method
// that ignores them).  No volatility prices below it.
double value_without_volatility(OptionType type, ExerciseStyle style, double K, double T, const MarketPoint& m,
                                std::span<const DividendAt> dividends = {}) noexcept;

}  // namespace zub
