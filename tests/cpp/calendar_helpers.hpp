// Date builders and readable printing of calendar values for the tests.
#pragma once

#include <ostream>
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

inline std::ostream& operator<<(std::ostream& os, Date d) {
    return os << d.year() << '-' << d.month() << '-' << d.day();
}

inline std::ostream& operator<<(std::ostream& os, const Instant& t) {
    return os << t.date << 'T' << t.secs << "s+" << t.nanos << "ns";
}

inline std::ostream& operator<<(std::ostream& os, const Tenor& t) {
    static constexpr const char* kUnits[] = {"D", "W", "M", "Y"};
    return os << t.count << kUnits[static_cast<int>(t.unit)];
}

inline std::ostream& operator<<(std::ostream& os, const DayCountConvention& c) { return os << c.debug_text(); }

}  // namespace zub
