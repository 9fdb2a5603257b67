// How a solve's time steps are shared out between the intervals that the
// dividend dates cut.
#pragma once

#include <cstdint>

namespace zub {

// Steps given to an interval of `length` years out of a life of T years:
// round(length / T * time_steps) half away from zero, NaN or negative giving
// 0 and overflow the largest count, then at least 1.
std::uint64_t steps_for_interval(double length, double T, std::uint64_t time_steps) noexcept;

}  // namespace zub
