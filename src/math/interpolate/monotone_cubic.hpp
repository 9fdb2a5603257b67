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
        const Piece p = piece(z);
        const double t2 = p.t * p.t;
        const double t3 = t2 * p.t;
        return y_lo(p) * (2.0 * t3 - 3.0 * t2 + 1.0) + y_hi(p) * (3.0 * t2 - 2.0 * t3) + p.h * m_[p.lo] * (t3 - 2.0 * t2 + p.t) +
               p.h * m_[p.lo + 1] * (t3 - t2);
    }

    // Derivative of the same cubic piece at z.
    double derivative_at(double z) const noexcept {
        const Piece p = piece(z);
        const double t = p.t;
        return (6.0 * (t * t - t) * y_lo(p) + p.h * (3.0 * t * t - 4.0 * t + 1.0) * m_[p.lo] +
                6.0 * (t - t * t) * y_hi(p) + p.h * (3.0 * t * t - 2.0 * t) * m_[p.lo + 1]) /
               p.h;
    }

    // The natural spline's second derivative at z, linear over the piece
    // (before the slope filter, so it is not the cubic's own curvature).
    double curvature_at(double z) const noexcept {
        const Piece p = piece(z);
        return (1.0 - p.t) * M_[p.lo] + p.t * M_[p.lo + 1];
    }

    const std::vector<double>& slopes() const noexcept { return m_; }
    const std::vector<double>& second_derivatives() const noexcept { return M_; }
    const SharedArray& x() const noexcept { return x_; }
    const SharedArray& y() const noexcept { return y_; }

private:
    // The piece holding z: its index, width and z's place in it (outside
    // [0, 1] beyond the data).
    struct Piece {
        std::size_t lo;
        double h;
        double t;
    };
    Piece piece(double z) const noexcept {
        const auto& x = *x_;
        const std::size_t lo = locate_interval(x, z);
        const double h = x[lo + 1] - x[lo];
        return {lo, h, (z - x[lo]) / h};
    }
    double y_lo(const Piece& p) const noexcept { return (*y_)[p.lo]; }
    double y_hi(const Piece& p) const noexcept { return (*y_)[p.lo + 1]; }

    MonotoneCubic(std::vector<double> m, std::vector<double> M, SharedArray x, SharedArray y)
        : m_(std::move(m)), M_(std::move(M)), x_(std::move(x)), y_(std::move(y)) {}

    std::vector<double> m_;
    std::vector<double> M_;
    SharedArray x_;
    SharedArray y_;
};

}  // namespace zub
