// Closed-form Black-Scholes with a continuous carry.
#pragma once

#include "instruments/vanilla_option.hpp"
#include "market/market_point.hpp"
#include "orchestration/option_result.hpp"

namespace zub {

// Price and all five Greeks of a European call or put; allocation-free.
// T is the Actual/365 Fixed time to expiry; exercise style is not used.
OptionResult black_scholes(bool is_call, double S, double K, double T, double sigma, double r, double q) noexcept;

// The same from the market record, for the option type.
inline OptionResult black_scholes(OptionType type, double K, double T, const MarketPoint& m) noexcept {
    return black_scholes(type == OptionType::Call, m.spot, K, T, m.vol, m.rate, m.carry);
}

}  // namespace zub
