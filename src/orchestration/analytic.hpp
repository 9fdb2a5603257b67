// Closed-form Black-Scholes with a continuous carry.
#pragma once

#include "orchestration/option_result.hpp"

namespace zub {

// Price and all five Greeks of a European call or put; allocation-free.
// T is the Actual/365 Fixed time to expiry; exercise style is not used.
OptionResult black_scholes(bool is_call, double S, double K, double T, double sigma, double r, double q) noexcept;

}  // namespace zub
