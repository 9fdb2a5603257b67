#include "math/interpolate/monotone_cubic.hpp"

#include <algorithm>
#include <cmath>

#include "core/lanes.hpp"

namespace zub {

namespace {

// |m| limited to `limit`, keeping the sign of m (non-positive m counts as
// negative).
double limit_slope(double m, double limit) noexcept {
    if (std::abs(m) > limit) return m > 0.0 ? limit : -limit;
    return m;
}

double secant(const double* x, const double* y, std::size_t i) noexcept {
    return (y[i + 1] - y[i]) / (x[i + 1] - x[i]);
}

// The slope at an interior node between secants a and b.
double interior_slope(const double* x, const double* y, std::size_t i, double a, double b) noexcept {
    const double centred = (y[i + 1] - y[i - 1]) / (x[i + 1] - x[i - 1]);
    return a * b <= 0.0 ? 0.0 : limit_slope(centred, 3.0 * std::min(std::abs(a), std::abs(b)));
}

// Forward elimination keeps c_i and d_i (in M), K curves abreast; back
// substitution turns M into the second derivatives.
template <std::size_t K>
void curvatures(const SplineCurve* curve, std::size_t n) noexcept {
    double prev_secant[K];
    for (std::size_t k = 0; k < K; ++k) {
        prev_secant[k] = secant(curve[k].x, curve[k].y, 0);
        curve[k].M[0] = 0.0;
        curve[k].c[0] = 0.0;
    }
    for (std::size_t i = 1; i + 1 < n; ++i) {
        for (std::size_t k = 0; k < K; ++k) {
            const double* x = curve[k].x;
            double* c = curve[k].c;
            double* M = curve[k].M;
            const double next_secant = secant(x, curve[k].y, i);
            const double span = x[i + 1] - x[i - 1];
            const double mu = (x[i] - x[i - 1]) / span;
            const double l = mu * c[i - 1] + 2.0;
            c[i] = (mu - 1.0) / l;
            M[i] = (6.0 * (next_secant - prev_secant[k]) / span - mu * M[i - 1]) / l;
            prev_secant[k] = next_secant;
        }
    }
    for (std::size_t k = 0; k < K; ++k) curve[k].M[n - 1] = 0.0;
    for (std::size_t i = n - 2; i >= 1; --i) {
        for (std::size_t k = 0; k < K; ++k) curve[k].M[i] = curve[k].c[i] * curve[k].M[i + 1] + curve[k].M[i];
    }
}

// Node slopes: centred secants inside, the natural spline's end derivatives
// at the ends, each limited to three times the adjacent secants and zero
// where the data turns.  A turn is a product of secants <= 0, so a product
// that underflows to zero also counts as one.
void filter_slopes(const double* x, const double* y, const double* M, std::size_t n, double* m) {
    m[0] = filtered_slope(x, y, M, n, 0);
    double a = secant(x, y, 0);
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const double b = secant(x, y, i);
        m[i] = interior_slope(x, y, i, a, b);
        a = b;
    }
    m[n - 1] = filtered_slope(x, y, M, n, n - 1);
}

}  // namespace

void natural_spline_curvatures(std::span<const SplineCurve> curves, std::size_t n) noexcept {
    for (std::size_t first = 0; first < curves.size(); first += kMaxLanes) {
        const std::size_t count = std::min(kMaxLanes, curves.size() - first);
        with_lane_count(count, [&](auto k) { curvatures<k>(curves.data() + first, n); });
    }
}

double filtered_slope(const double* x, const double* y, const double* M, std::size_t n, std::size_t i) noexcept {
    if (i == 0) {
        const double d = secant(x, y, 0);
        const double m = d + (2.0 * M[0] + M[1]) * (x[1] - x[0]) / -6.0;
        return d * d <= 0.0 ? 0.0 : limit_slope(m, 3.0 * std::abs(d));
    }
    if (i == n - 1) {
        const double d = secant(x, y, n - 2);
        const double m = d + (2.0 * M[n - 1] + M[n - 2]) * (x[n - 1] - x[n - 2]) / 6.0;
        return d * d <= 0.0 ? 0.0 : limit_slope(m, 3.0 * std::abs(d));
    }
    return interior_slope(x, y, i, secant(x, y, i - 1), secant(x, y, i));
}

std::variant<MonotoneCubic, InterpolationError> MonotoneCubic::make(SharedArray xs, SharedArray ys) {
    const auto& x = *xs;
    const auto& y = *ys;
    const std::size_t n = x.size();
    if (y.size() != n) return InterpolationError::LengthMismatch;
    if (n < 3) return InterpolationError::InsufficientPoints;

    std::vector<double> m(n, 0.0);
    std::vector<double> M(n, 0.0);
    const SplineCurve curve{x.data(), y.data(), m.data(), M.data()};
    natural_spline_curvatures({&curve, 1}, n);
    filter_slopes(x.data(), y.data(), M.data(), n, m.data());
    return MonotoneCubic(std::move(m), std::move(M), std::move(xs), std::move(ys));
}

}  // namespace zub
