// Date and instant builders for the tests.
#pragma once

#include <stdexcept>

#include "core/period.hpp"

namespace zub {

inline Date ymd(int64_t y, int64_t m, int64_t d) {
    const auto r = Date::from_ymd(y, m, d);
    if (!r) throw std::invalid_argument("not a supported date");
    return *r;
}

inline Instant at(int64_t y, int64_t m, int64_t d, uint32_t secs = 0, uint32_t nanos = 0) {
    const auto r = Instant::make(ymd(y, m, d), secs, nanos);
    if (!r) throw std::invalid_argument("not a valid instant");
    return *r;
}

}  // namespace zub
