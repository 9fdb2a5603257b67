#include "methods/stepping_scheme/post_projection.hpp"

#include <algorithm>
#include <cmath>

namespace zub {

namespace {

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

bool PostProjectionScheme::in_the_money(std::size_t i) const noexcept {
    // The middle node of an odd grid lies on the strike only up to rounding.
    // A node that close to the strike is at the money, whichever side its
    // last bits fall on: it keeps the payoff kink's derivative, so the price
    // does not jump with the rounding of one node.
    const double at_the_money = 1e-12 * std::abs(strike_);
    const double s = grid_.spots()[i];
    return phi_ > 0.0 ? s > strike_ + at_the_money : s < strike_ - at_the_money;
}

void PostProjectionScheme::hold(std::span<double> F, std::size_t lo, std::size_t hi, bool only_falling) const noexcept {
    // Rows 0 and N-1 hold the boundary differences, not a time derivative.
    lo = std::max<std::size_t>(lo, 1);
    hi = std::min(hi, F.size() - 2);
    for (std::size_t i = lo; i <= hi && i < F.size(); ++i) {
        if ((!only_falling || F[i] < 0.0) && in_the_money(i)) F[i] = 0.0;
    }
}

void PostProjectionScheme::create(std::span<double> u, std::span<double> F) {
    LinearScheme::create(u, F);
    hold(F, 0, u.size() - 1, true);
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

    op_.apply(U, F);
    if (bottom_ran) hold(F, bottom.lo, bottom.hi, false);
    if (top.lo <= top.hi) hold(F, top.lo, top.hi, false);
}

void PostProjectionScheme::after_dividend(std::span<double> u, std::span<double> F) const {
    const std::size_t n = u.size();
    std::size_t lo = n;
    std::size_t hi = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double e = exercise_value(i);
        if (e > u[i]) {
            u[i] = e;
            lo = std::min(lo, i);
            hi = i;
        }
    }
    op_.apply(u, F);
    if (lo <= hi) hold(F, lo, hi, false);
}

}  // namespace zub
