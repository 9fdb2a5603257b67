// Cubic Hermite interpolation with filtered node slopes.
#pragma once

#include <variant>
#include <vector>

#include "math/interpolate/common.hpp"

namespace zub {

// Interior slopes are centred secants, the end slopes the natural spline's
// end derivatives; every slope is then limited to three times the adjacent
// secants (zero where the data turns).  The natural spline's second
// derivatives are kept beside the slopes for curvature read-outs.  The end
// pieces are extended beyond the data range.
class MonotoneCubic {
public:
    // Fails with InsufficientPoints below 3 points and with LengthMismatch
    // when x and y differ in length; the abscissae are not checked further.
    static std::variant<MonotoneCubic, InterpolationError> make(SharedArray x, SharedArray y);

    double value_at(double z) const noexcept {
        const auto& x = *x_;
        const auto& y = *y_;
        const std::size_t lo = locate_interval(x, z);
        const double h = x[lo + 1] - x[lo];
        const double t = (z - x[lo]) / h;
        const double t2 = t * t;
        const double t3 = t2 * t;
        return y[lo] * (2.0 * t3 - 3.0 * t2 + 1.0) + y[lo + 1] * (3.0 * t2 - 2.0 * t3) +
               h * m_[lo] * (t3 - 2.0 * t2 + t) + h * m_[lo + 1] * (t3 - t2);
    }

    const std::vector<double>& slopes() const noexcept { return m_; }
    const std::vector<double>& second_derivatives() const noexcept { return M_; }
    const SharedArray& x() const noexcept { return x_; }
    const SharedArray& y() const noexcept { return y_; }

private:
    MonotoneCubic(std::vector<double> m, std::vector<double> M, SharedArray x, SharedArray y)
        : m_(std::move(m)), M_(std::move(M)), x_(std::move(x)), y_(std::move(y)) {}

    std::vector<double> m_;
    std::vector<double> M_;
    SharedArray x_;
    SharedArray y_;
};

}  // namespace zub
