// Cubic Hermite interpolation with filtered node slopes.
#pragma once

#include <span>
#include <variant>
#include <vector>

#include "math/interpolate/common.hpp"

namespace zub {

// One piece of a cubic Hermite interpolant at a point: its width h, the
// point's place t in it, and the values and slopes at its two ends.
struct HermitePiece {
    double h;
    double t;
    double y_lo;
    double y_hi;
    double m_lo;
    double m_hi;

    double value() const noexcept {
        const double t2 = t * t;
        const double t3 = t2 * t;
        return y_lo * (2.0 * t3 - 3.0 * t2 + 1.0) + y_hi * (3.0 * t2 - 2.0 * t3) + h * m_lo * (t3 - 2.0 * t2 + t) +
               h * m_hi * (t3 - t2);
    }
    double derivative() const noexcept {
        return (6.0 * (t * t - t) * y_lo + h * (3.0 * t * t - 4.0 * t + 1.0) * m_lo + 6.0 * (t - t * t) * y_hi +
                h * (3.0 * t * t - 2.0 * t) * m_hi) /
               h;
    }
};

// One curve of natural_spline_curvatures: n abscissae and values in, the
// second derivatives out in M, c as scratch; n doubles each.
struct SplineCurve {
    const double* x;
    const double* y;
    double* c;
    double* M;
};

// The natural spline's second derivatives (zero at both ends) of curves over
// the same number of points n >= 3, up to kMaxLanes in one loop; each curve
// gets exactly what it would get alone.
void natural_spline_curvatures(std::span<const SplineCurve> curves, std::size_t n) noexcept;

// Node i's slope in MonotoneCubic over n >= 3 points, from the natural
// spline's second derivatives M (only M[0], M[1], M[n-2] and M[n-1] are
// read, and only for the end nodes).
double filtered_slope(const double* x, const double* y, const double* M, std::size_t n, std::size_t i) noexcept;

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

    double value_at(double z) const noexcept { return hermite(piece(z)).value(); }

    // Derivative of the same cubic piece at z.
    double derivative_at(double z) const noexcept { return hermite(piece(z)).derivative(); }

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
    HermitePiece hermite(const Piece& p) const noexcept {
        return {p.h, p.t, (*y_)[p.lo], (*y_)[p.lo + 1], m_[p.lo], m_[p.lo + 1]};
    }

    MonotoneCubic(std::vector<double> m, std::vector<double> M, SharedArray x, SharedArray y)
        : m_(std::move(m)), M_(std::move(M)), x_(std::move(x)), y_(std::move(y)) {}

    std::vector<double> m_;
    std::vector<double> M_;
    SharedArray x_;
    SharedArray y_;
};

}  // namespace zub
