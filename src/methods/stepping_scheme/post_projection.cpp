#include "methods/stepping_scheme/post_projection.hpp"

#include <algorithm>
#include <cmath>

namespace zub {

namespace {

void zero_range(std::span<double> F, std::size_t lo, std::size_t hi) noexcept {
    std::fill(F.begin() + static_cast<std::ptrdiff_t>(lo), F.begin() + static_cast<std::ptrdiff_t>(hi) + 1, 0.0);
}

// Nodes [lo, hi] a pass projected; none when lo > hi.
struct Touched {
    std::size_t lo;
    std::size_t hi;
};

// From node 0 upwards while each value is below its exercise value.
template <class Exercise>
Touched bottom_pass(double* v, std::size_t n, Exercise ex) noexcept {
    if (!(ex(0) > v[0])) return {n, 0};
    v[0] = ex(0);
    std::size_t hi = 0;
    for (std::size_t i = 1; i < n && ex(i) > v[i]; ++i) {
        v[i] = ex(i);
        hi = i;
    }
    return {0, hi};
}

// From node N-1 downwards, not started when that value is negative; stops at
// a negative value, at a node not below its exercise value, and right after
// the top node when the bottom pass ran.
template <class Exercise>
Touched top_pass(double* v, std::size_t n, Exercise ex, bool bottom_ran) noexcept {
    if (v[n - 1] < 0.0 || !(ex(n - 1) > v[n - 1])) return {n, 0};
    v[n - 1] = ex(n - 1);
    std::size_t lo = n - 1;
    for (std::size_t j = n - 1; j-- > 0;) {
        if (bottom_ran || v[j] < 0.0 || ex(j) <= v[j]) break;
        v[j] = ex(j);
        lo = j;
    }
    return {lo, n - 1};
}

}  // namespace

void PostProjectionScheme::create(std::span<double> u, std::span<double> F) {
    LinearScheme::create(u, F);
    const auto spots = grid_.spots();
    for (std::size_t i = 0; i < u.size(); ++i) {
        if (u[i] > 1e-7) {
            early_exercise_active_ = F[i] < 0.0;
            break;
        }
    }
    if (!early_exercise_active_) return;
    // The middle node of an odd grid lies on the strike only up to rounding.
    // A node that close to the strike is at the money, whichever side its
    // last bits fall on: it keeps the payoff kink's derivative, so the price
    // does not jump with the rounding of one node.
    const double at_the_money = 1e-12 * std::abs(strike_);
    for (std::size_t i = 0; i < u.size(); ++i) {
        const bool in_the_money =
            phi_ > 0.0 ? spots[i] > strike_ + at_the_money : spots[i] < strike_ - at_the_money;
        if (in_the_money) F[i] = 0.0;
    }
}

void PostProjectionScheme::after_solve(std::span<double> U, std::span<double> F) const {
    const std::size_t n = U.size();
    const double* s = grid_.spots().data();
    const double k = strike_;
    const double phi = phi_;
    const auto ex = [s, k, phi](std::size_t i) { return (s[i] - k) * phi; };

    const Touched bottom = bottom_pass(U.data(), n, ex);
    const bool bottom_ran = bottom.lo <= bottom.hi;
    const Touched top = bottom_ran && bottom.hi == n - 1 ? Touched{n, 0} : top_pass(U.data(), n, ex, bottom_ran);
    const std::size_t lo = std::min(bottom.lo, top.lo);
    const std::size_t hi = std::max(bottom.hi, top.hi);

    op_.apply(U, F);
    if (lo <= hi && early_exercise_active_) zero_range(F, lo, hi);
}

void PostProjectionScheme::after_dividend(std::span<double> u, std::span<double> F) const {
    const std::size_t n = u.size();
    std::size_t lo = n;
    for (std::size_t i = 0; i < n; ++i) {
        const double e = exercise_value(i);
        if (e > u[i]) {
            u[i] = e;
            lo = std::min(lo, i);
        }
    }
    op_.apply(u, F);
    if (lo < n && early_exercise_active_) zero_range(F, lo, n - 1);
}

}  // namespace zub
