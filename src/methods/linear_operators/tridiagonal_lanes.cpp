#include "methods/linear_operators/tridiagonal_lanes.hpp"

#include <algorithm>

namespace zub {
namespace {

// The forward and back substitutions of solve_implicit, K systems abreast.
template <std::size_t K>
void sweep(const ImplicitSystem* s, std::size_t n) {
    const double* el[K];
    const double* eu[K];
    const double* p[K];
    const double* r[K];
    double* y[K];
    double* x[K];
    double carry[K];
    // Operators whose factorisation is missing or for another weight are
    // factorised together first.
    const TridiagonalOperator* stale[K];
    double stale_c[K];
    std::size_t count = 0;
    for (std::size_t k = 0; k < K; ++k) {
        if (!s[k].op->needs_factors(s[k].c)) continue;
        stale[count] = s[k].op;
        stale_c[count++] = s[k].c;
    }
    TridiagonalOperator::factorise_together({stale, count}, {stale_c, count});
    for (std::size_t k = 0; k < K; ++k) {
        const TridiagonalOperator::Factors f = s[k].op->factors_for(s[k].c);
        el[k] = f.lower;
        eu[k] = f.upper;
        p[k] = f.pivot_inv;
        r[k] = s[k].r;
        y[k] = s[k].scratch;
        x[k] = s[k].out;
        carry[k] = r[k][0] * p[k][0];
        y[k][0] = carry[k];
    }
    for (std::size_t i = 1; i < n; ++i) {
        for (std::size_t k = 0; k < K; ++k) {
            carry[k] = (r[k][i] - carry[k] * el[k][i]) * p[k][i];
            y[k][i] = carry[k];
        }
    }
    for (std::size_t k = 0; k < K; ++k) x[k][n - 1] = carry[k];
    for (std::size_t i = n - 1; i-- > 0;) {
        for (std::size_t k = 0; k < K; ++k) {
            carry[k] = y[k][i] - eu[k][i] * carry[k];
            x[k][i] = carry[k];
        }
    }
}

}  // namespace

void solve_implicit_lanes(std::span<const ImplicitSystem> systems, std::size_t n) {
    for (std::size_t first = 0; first < systems.size(); first += kMaxLanes) {
        const std::size_t count = std::min(kMaxLanes, systems.size() - first);
        with_lane_count(count, [&](auto k) { sweep<k>(systems.data() + first, n); });
    }
}

}  // namespace zub
