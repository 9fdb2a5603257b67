// Closed-form Black-Scholes with a continuous carry.
#pragma once

#include "instruments/vanilla_option.hpp"
#include "market/market_point.hpp"
#include "orchestration/option_result.hpp"

namespace zub {

// Price and all five Greeks of a European call or put of strike K on the market
// point m; allocation-free.  T is the Actual/365 Fixed time to expiry.
OptionResult black_scholes(OptionType type, double K, double T, const MarketPoint& m) noexcept;

}  // namespace zub
