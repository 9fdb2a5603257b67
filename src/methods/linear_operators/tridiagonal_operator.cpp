#include "methods/linear_operators/tridiagonal_operator.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <new>
#include <string>

#include "core/error.hpp"
#include "core/lanes.hpp"
#include "core/vector_clones.hpp"

namespace zub {

namespace {

std::size_t checked_size(std::size_t n) {
    if (n < 3) throw Panic("TridiagonalOperator requires at least 3 elements, found " + std::to_string(n));
    if (n > std::vector<double>().max_size() / 3) throw std::bad_alloc();
    return n;
}

// The next factorisation's id; 0 names none.
std::atomic<std::uint64_t> next_factorisation_id{1};

}  // namespace

TridiagonalOperator::TridiagonalOperator(std::size_t n) : n_(checked_size(n)), block_(3 * n, 0.0) {}

TridiagonalOperator::TridiagonalOperator(std::span<const double> lower, std::span<const double> diag,
                                         std::span<const double> upper)
    : TridiagonalOperator(lower.size()) {
    if (diag.size() != n_ || upper.size() != n_) throw Panic("TridiagonalOperator diagonals differ in length");
    for (std::size_t i = 0; i < n_; ++i) {
        lo()[i] = lower[i];
        di()[i] = diag[i];
        up()[i] = upper[i];
    }
}

void TridiagonalOperator::set_row(std::size_t i, double lower, double diag, double upper) noexcept {
    cached_ = false;
    if (i == 0) neumann_first_ = false;
    if (i == n_ - 1) neumann_last_ = false;
    lo()[i] = lower;
    di()[i] = diag;
    up()[i] = upper;
}

void TridiagonalOperator::check_length(std::size_t len) const {
    if (len != n_) throw Panic("TridiagonalOperator: vector of length " + std::to_string(len) + ", expected " + std::to_string(n_));
}

namespace {

// y = L x for the n >= 3 rows of the diagonals l, d, u.
ZUB_VECTOR_CLONES void apply_rows(const double* l, const double* d, const double* u, const double* __restrict x,
                                  double* __restrict y, std::size_t n) noexcept {
    const std::size_t last = n - 1;
    y[0] = u[0] * x[1] + d[0] * x[0];
    for (std::size_t i = 1; i < last; ++i) y[i] = u[i] * x[i + 1] + (d[i] * x[i] + l[i] * x[i - 1]);
    y[last] = l[last] * x[last - 1] + d[last] * x[last];
}

}  // namespace

void TridiagonalOperator::apply(std::span<const double> v, std::span<double> out) const {
    check_length(v.size());
    check_length(out.size());
    const double* l = block_.data();
    apply_rows(l, l + n_, l + 2 * n_, v.data(), out.data(), n_);
}

void TridiagonalOperator::set_neumann_row(std::size_t i) noexcept {
    cached_ = false;
    if (i == 0) {
        lo()[0] = 0.0;
        di()[0] = -1.0;
        up()[0] = 1.0;
        neumann_first_ = true;
    } else if (i == n_ - 1) {
        lo()[i] = -1.0;
        di()[i] = 1.0;
        up()[i] = 0.0;
        neumann_last_ = true;
    }
}

template <std::size_t K>
void TridiagonalOperator::factorise_abreast(const TridiagonalOperator* const* ops, const double* c) {
    const std::size_t n = ops[0]->n_;
    const std::size_t last = n - 1;
    const double* l[K];
    const double* d[K];
    const double* u[K];
    double* el[K];
    double* eu[K];
    double* p[K];
    double prev_eu[K];
    for (std::size_t k = 0; k < K; ++k) {
        const TridiagonalOperator& op = *ops[k];
        if (op.cache_.empty()) op.cache_.assign(3 * n, 0.0);
        l[k] = op.block_.data();
        d[k] = l[k] + n;
        u[k] = d[k] + n;
        el[k] = op.cache_.data();
        eu[k] = el[k] + n;
        p[k] = eu[k] + n;
        if (op.neumann_first_) {
            p[k][0] = 1.0 / d[k][0];
            eu[k][0] = p[k][0] * u[k][0];
        } else {
            p[k][0] = 1.0 / (1.0 - c[k] * d[k][0]);
            eu[k][0] = p[k][0] * (-c[k] * u[k][0]);
        }
        el[k][0] = 0.0;
        prev_eu[k] = eu[k][0];
    }
    for (std::size_t i = 1; i < last; ++i) {
        for (std::size_t k = 0; k < K; ++k) {
            el[k][i] = -c[k] * l[k][i];
            p[k][i] = 1.0 / (1.0 - c[k] * d[k][i] - el[k][i] * prev_eu[k]);
            prev_eu[k] = p[k][i] * (-c[k] * u[k][i]);
            eu[k][i] = prev_eu[k];
        }
    }
    for (std::size_t k = 0; k < K; ++k) {
        const TridiagonalOperator& op = *ops[k];
        if (op.neumann_last_) {
            el[k][last] = l[k][last];
            p[k][last] = 1.0 / (d[k][last] - el[k][last] * eu[k][last - 1]);
        } else {
            el[k][last] = -c[k] * l[k][last];
            p[k][last] = 1.0 / (1.0 - c[k] * d[k][last] - el[k][last] * eu[k][last - 1]);
        }
        eu[k][last] = 0.0;
        op.cached_c_ = c[k];
        op.cached_ = true;
        ++op.factorisations_;
        op.factorisation_id_ = next_factorisation_id.fetch_add(1, std::memory_order_relaxed);
    }
}

void TridiagonalOperator::factorise(double c) const {
    const TridiagonalOperator* self = this;
    factorise_abreast<1>(&self, &c);
}

void TridiagonalOperator::factorise_together(std::span<const TridiagonalOperator* const> ops,
                                             std::span<const double> c) {
    for (std::size_t first = 0; first < ops.size(); first += kMaxLanes) {
        const std::size_t count = std::min(kMaxLanes, ops.size() - first);
        with_lane_count(count, [&](auto k) { factorise_abreast<k>(ops.data() + first, c.data() + first); });
    }
}

bool TridiagonalOperator::needs_factors(double c) const noexcept {
    return !cached_ || !(std::abs(cached_c_ - c) < 1e-12);
}

TridiagonalOperator::Factors TridiagonalOperator::factors_for(double c) const {
    if (needs_factors(c)) factorise(c);
    const double* el = cache_.data();
    return {el, el + n_, el + 2 * n_};
}

void TridiagonalOperator::solve_implicit(std::span<const double> r, double c, std::span<double> out,
                                         std::span<double> scratch) const {
    check_length(r.size());
    check_length(out.size());
    check_length(scratch.size());
    const Factors f = factors_for(c);
    const double* el = f.lower;
    const double* eu = f.upper;
    const double* p = f.pivot_inv;
    const double* rr = r.data();
    double* y = scratch.data();
    double* x = out.data();

    // The running value stays in a register: reloading it from the array
    // would put a store-to-load round trip on the critical path.
    double carry = rr[0] * p[0];
    y[0] = carry;
    for (std::size_t i = 1; i < n_; ++i) {
        carry = (rr[i] - carry * el[i]) * p[i];
        y[i] = carry;
    }
    x[n_ - 1] = carry;
    for (std::size_t i = n_ - 1; i-- > 0;) {
        carry = y[i] - eu[i] * carry;
        x[i] = carry;
    }
}

}  // namespace zub
