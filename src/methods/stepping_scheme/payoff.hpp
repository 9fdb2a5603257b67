// The vanilla payoff at expiry.
#pragma once

#include "instruments/vanilla_option.hpp"

namespace zub {

// max(S - K, 0) for a call, max(K - S, 0) for a put.
inline double vanilla_payoff(double spot, double strike, OptionType type) noexcept {
    if (type == OptionType::Call) return spot > strike ? spot - strike : 0.0;
    return spot < strike ? strike - spot : 0.0;
}

}  // namespace zub
