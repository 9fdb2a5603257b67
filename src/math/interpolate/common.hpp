// Pieces shared by the one-dimensional interpolators.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace zub {

// Immutable arrays shared by reference count between interpolators and
// whoever built them.
using SharedArray = std::shared_ptr<const std::vector<double>>;

inline SharedArray make_shared_array(std::vector<double> v) {
    return std::make_shared<const std::vector<double>>(std::move(v));
}

enum class InterpolationError : uint8_t { LengthMismatch = 0, InsufficientPoints = 1, NotMonotonic = 2 };

// "LengthMismatch", "InsufficientPoints", "NotMonotonic".
const char* to_string(InterpolationError e) noexcept;

// Index lo of the piece used for z over N >= 2 abscissae: 0 below x_0,
// N-2 at or above x_{N-1}, otherwise the bisection with x_lo <= z < x_{lo+1}.
inline std::size_t locate_interval(std::span<const double> x, double z) noexcept {
    const std::size_t n = x.size();
    if (z <= x[0]) return 0;
    if (z >= x[n - 1]) return n - 2;
    std::size_t lo = 0, hi = n - 1;
    while (hi - lo > 1) {
        const std::size_t mid = (lo + hi) / 2;
        if (z >= x[mid]) lo = mid; else hi = mid;
    }
    return lo;
}

}  // namespace zub
