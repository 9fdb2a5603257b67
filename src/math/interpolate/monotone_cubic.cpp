#include "math/interpolate/monotone_cubic.hpp"

#include <algorithm>
#include <cmath>

#include "core/lanes.hpp"
#include "core/vector_clones.hpp"

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

// Forward elimination keeps c_i and d_i (in M) and back substitution turns
// M into the second derivatives, for curve a alone (V = double) or curves a
// and b together (V = Pair, each element rounding as the scalar operations
// do).  `prev` carries the last secant.
template <class V>
struct Elimination {
    const SplineCurve* a;
    const SplineCurve* b;

    V x(std::size_t i) const noexcept { return gather_lanes<V>(a->x, b->x, i); }
    V y(std::size_t i) const noexcept { return gather_lanes<V>(a->y, b->y, i); }
    V c(std::size_t i) const noexcept { return gather_lanes<V>(a->c, b->c, i); }
    V m(std::size_t i) const noexcept { return gather_lanes<V>(a->M, b->M, i); }
    void set_c(std::size_t i, V v) const noexcept { scatter_lanes<V>(a->c, b->c, i, v); }
    void set_m(std::size_t i, V v) const noexcept { scatter_lanes<V>(a->M, b->M, i, v); }

    V start() const noexcept {
        set_m(0, V{} + 0.0);
        set_c(0, V{} + 0.0);
        return secant_at(0);
    }
    V secant_at(std::size_t i) const noexcept { return (y(i + 1) - y(i)) / (x(i + 1) - x(i)); }
    void forward(std::size_t i, V& prev) const noexcept {
        const V next = secant_at(i);
        const V span = x(i + 1) - x(i - 1);
        const V mu = (x(i) - x(i - 1)) / span;
        const V l = mu * c(i - 1) + 2.0;
        set_c(i, (mu - 1.0) / l);
        set_m(i, (6.0 * (next - prev) / span - mu * m(i - 1)) / l);
        prev = next;
    }
    void back(std::size_t i) const noexcept { set_m(i, c(i) * m(i + 1) + m(i)); }
};

// K curves abreast, two to a vector and the odd one alone.
template <std::size_t K>
ZUB_VECTOR_CLONES void curvatures(const SplineCurve* curve, std::size_t n) noexcept {
    constexpr std::size_t P = K / 2;
    constexpr bool odd = K % 2 == 1;
    Elimination<Pair> pairs[P > 0 ? P : 1] = {};
    for (std::size_t j = 0; j < P; ++j) pairs[j] = {&curve[2 * j], &curve[2 * j + 1]};
    const Elimination<double> last{&curve[K - 1], &curve[K - 1]};
    Pair prev[P > 0 ? P : 1];
    double prev_last = 0.0;
    for (std::size_t j = 0; j < P; ++j) prev[j] = pairs[j].start();
    if constexpr (odd) prev_last = last.start();
    for (std::size_t i = 1; i + 1 < n; ++i) {
        for (std::size_t j = 0; j < P; ++j) pairs[j].forward(i, prev[j]);
        if constexpr (odd) last.forward(i, prev_last);
    }
    for (std::size_t k = 0; k < K; ++k) curve[k].M[n - 1] = 0.0;
    for (std::size_t i = n - 2; i >= 1; --i) {
        for (std::size_t j = 0; j < P; ++j) pairs[j].back(i);
        if constexpr (odd) last.back(i);
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
