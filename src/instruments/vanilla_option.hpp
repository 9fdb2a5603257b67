// The vanilla option: the only instrument.
#pragma once

#include <cstdint>

#include "core/period.hpp"

namespace zub {

enum class OptionType : uint8_t { Call = 0, Put = 1 };
enum class ExerciseStyle : uint8_t { American = 0, European = 1 };

struct VanillaOption {
    double strike = 0.0;
    Instant expiry;
    OptionType type = OptionType::Call;
    ExerciseStyle style = ExerciseStyle::European;

    // Actual/365 Fixed years from the valuation instant to expiry.
    double years_to_expiry(const Instant& valuation) const noexcept { return act365_years(valuation, expiry); }
};

}  // namespace zub
