// Interest rates with their compounding and day-count conventions.
#pragma once

#include <cstdint>
#include <string>

#include "core/period.hpp"

namespace zub {

enum class Frequency : uint8_t { Annual = 0, SemiAnnual = 1, Quarterly = 2, Monthly = 3 };

// Periods per year: 1, 2, 4, 12.
uint8_t periods_per_year(Frequency f) noexcept;
// "Annual", "SemiAnnual", "Quarterly", "Monthly" from a period count.
const char* frequency_name_from_periods(uint8_t periods) noexcept;

enum class CompoundingKind : uint8_t { Simple = 0, Compounded = 1, Continuous = 2, SimpleThenCompounded = 3 };

struct Compounding {
    CompoundingKind kind = CompoundingKind::Continuous;
    uint8_t frequency = 1;  // period count; used by Compounded and SimpleThenCompounded

    // "Compounding.Simple", "Compounding.Compounded(SemiAnnual)", ...
    std::string repr() const;
};

struct InterestRate {
    double rate = 0.0;
    Compounding compounding;
    DayCountConvention dcc = DayCountConvention::act365_fixed();

    // Discount factor for a horizon of t years; the day count plays no part.
    // SimpleThenCompounded: simple interest up to one compounding period
    // (t <= 1/n), compounded beyond it.
    double discount_factor(double t) const noexcept;
};

}  // namespace zub
