// Piecewise-linear interpolation with linear extension beyond the ends.
#pragma once

#include <variant>

#include "math/interpolate/common.hpp"

namespace zub {

class LinearInterpolator {
public:
    // Fails with InsufficientPoints (fewer than 2 points), NotMonotonic
    // (some x_k >= x_{k+1}) or LengthMismatch.
    static std::variant<LinearInterpolator, InterpolationError> make(SharedArray x, SharedArray y);

    double value_at(double z) const noexcept {
        const auto& x = *x_;
        const auto& y = *y_;
        const std::size_t lo = locate_interval(x, z);
        return (z - x[lo]) * ((y[lo + 1] - y[lo]) / (x[lo + 1] - x[lo])) + y[lo];
    }

    const SharedArray& x() const noexcept { return x_; }
    const SharedArray& y() const noexcept { return y_; }

private:
    LinearInterpolator(SharedArray x, SharedArray y) : x_(std::move(x)), y_(std::move(y)) {}
    SharedArray x_;
    SharedArray y_;
};

}  // namespace zub
