#include "math/interpolate/monotone_cubic.hpp"

#include <algorithm>
#include <cmath>

namespace zub {

namespace {

// |m| limited to `limit`, keeping the sign of m (non-positive m counts as
// negative).
double limit_slope(double m, double limit) noexcept {
    if (std::abs(m) > limit) return m > 0.0 ? limit : -limit;
    return m;
}

double secant(const std::vector<double>& x, const std::vector<double>& y, std::size_t i) noexcept {
    return (y[i + 1] - y[i]) / (x[i + 1] - x[i]);
}

// Second derivatives of the natural spline through the points (zero at
// both ends): forward elimination keeps c_i in the slope slot and d_i in M,
// back substitution turns M into the second derivatives.
std::vector<double> natural_spline_curvatures(const std::vector<double>& x, const std::vector<double>& y,
                                              std::vector<double>& c) {
    const std::size_t n = x.size();
    std::vector<double> M(n, 0.0);
    double prev_secant = secant(x, y, 0);
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const double next_secant = secant(x, y, i);
        const double span = x[i + 1] - x[i - 1];
        const double mu = (x[i] - x[i - 1]) / span;
        const double l = mu * c[i - 1] + 2.0;
        c[i] = (mu - 1.0) / l;
        M[i] = (6.0 * (next_secant - prev_secant) / span - mu * M[i - 1]) / l;
        prev_secant = next_secant;
    }
    M[0] = 0.0;
    M[n - 1] = 0.0;
    for (std::size_t i = n - 2; i >= 1; --i) M[i] = c[i] * M[i + 1] + M[i];
    return M;
}

// Node slopes: centred secants inside, the natural spline's end derivatives
// at the ends, each limited to three times the adjacent secants and zero
// where the data turns.  A turn is a product of secants <= 0, so a product
// that underflows to zero also counts as one.
void filter_slopes(const std::vector<double>& x, const std::vector<double>& y, const std::vector<double>& M,
                   std::vector<double>& m) {
    const std::size_t n = x.size();
    const double d_first = secant(x, y, 0);
    const double d_last = secant(x, y, n - 2);
    const double m_first = d_first + (2.0 * M[0] + M[1]) * (x[1] - x[0]) / -6.0;
    const double m_last = d_last + (2.0 * M[n - 1] + M[n - 2]) * (x[n - 1] - x[n - 2]) / 6.0;
    m[0] = d_first * d_first <= 0.0 ? 0.0 : limit_slope(m_first, 3.0 * std::abs(d_first));
    double a = d_first;
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const double b = secant(x, y, i);
        const double centred = (y[i + 1] - y[i - 1]) / (x[i + 1] - x[i - 1]);
        m[i] = a * b <= 0.0 ? 0.0 : limit_slope(centred, 3.0 * std::min(std::abs(a), std::abs(b)));
        a = b;
    }
    m[n - 1] = d_last * d_last <= 0.0 ? 0.0 : limit_slope(m_last, 3.0 * std::abs(d_last));
}

}  // namespace

std::variant<MonotoneCubic, InterpolationError> MonotoneCubic::make(SharedArray xs, SharedArray ys) {
    const auto& x = *xs;
    const auto& y = *ys;
    const std::size_t n = x.size();
    if (y.size() != n) return InterpolationError::LengthMismatch;
    if (n < 3) return InterpolationError::InsufficientPoints;

    std::vector<double> m(n, 0.0);
    std::vector<double> M = natural_spline_curvatures(x, y, m);
    filter_slopes(x, y, M, m);
    return MonotoneCubic(std::move(m), std::move(M), std::move(xs), std::move(ys));
}

}  // namespace zub
