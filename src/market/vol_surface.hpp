// Volatility surface: a flat volatility with its day-count convention.
#pragma once

#include "core/period.hpp"

namespace zub {

class VolSurface {
public:
    static VolSurface flat(double vol, const DayCountConvention& dcc) { return VolSurface(vol, dcc); }
    double volatility(double /*strike*/, double /*t*/) const noexcept { return vol_; }
    const DayCountConvention& day_count() const noexcept { return dcc_; }

private:
    VolSurface(double v, const DayCountConvention& d) : vol_(v), dcc_(d) {}
    double vol_;
    DayCountConvention dcc_;
};

}  // namespace zub
