// A discrete cash dividend.
#pragma once

#include <algorithm>
#include <span>

#include "core/period.hpp"

namespace zub {

struct Dividend {
    Instant ex_date;   // UTC
    double amount = 0.0;
};

// A dividend placed in years after the valuation instant.
struct DividendAt {
    double time = 0.0;
    double amount = 0.0;
};

// Whether a positive cash dividend falls strictly inside (0, T): the
// question that decides whether an option's value is that of an option on
// a spot without jumps (dividends at or after expiry, or of no amount,
// change nothing).
inline bool cash_dividend_inside(std::span<const DividendAt> dividends, double T) noexcept {
    return std::any_of(dividends.begin(), dividends.end(),
                       [T](const DividendAt& d) { return d.amount > 0.0 && d.time > 0.0 && d.time < T; });
}

}  // namespace zub
