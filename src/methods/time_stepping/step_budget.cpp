#include "methods/time_stepping/step_budget.hpp"

#include <cmath>
#include <limits>

namespace zub {

std::uint64_t steps_for_interval(double length, double T, std::uint64_t time_steps) noexcept {
    const double v = std::round(length / T * static_cast<double>(time_steps));
    std::uint64_t n = 0;
    if (v >= 18446744073709551616.0) {
        n = std::numeric_limits<std::uint64_t>::max();
    } else if (v > 0.0) {
        n = static_cast<std::uint64_t>(v);
    }
    return n == 0 ? 1 : n;
}

}  // namespace zub
