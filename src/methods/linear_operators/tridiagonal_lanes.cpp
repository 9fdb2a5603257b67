#include "methods/linear_operators/tridiagonal_lanes.hpp"

#include <algorithm>
#include <type_traits>

#include "core/vector_clones.hpp"

namespace zub {
namespace {

// Operators whose factorisation is missing or for another weight are
// factorised together.
template <std::size_t K>
void refresh_factors(const ImplicitSystem* s) {
    const TridiagonalOperator* stale[K];
    double stale_c[K];
    std::size_t count = 0;
    for (std::size_t k = 0; k < K; ++k) {
        if (!s[k].op->needs_factors(s[k].c)) continue;
        stale[count] = s[k].op;
        stale_c[count++] = s[k].c;
    }
    TridiagonalOperator::factorise_together({stale, count}, {stale_c, count});
}

// Lane a's (V = double) or lanes a and a + 1's (V = Pair) right-hand side,
// and solution, at node i.
template <class V>
V rhs(const ImplicitSystem* s, std::size_t a, std::size_t i) noexcept {
    constexpr std::size_t b = std::is_same_v<V, double> ? 0 : 1;
    return gather_lanes<V>(s[a].r, s[a + b].r, i);
}

template <class V>
void solution(const ImplicitSystem* s, std::size_t a, std::size_t i, V v) noexcept {
    constexpr std::size_t b = std::is_same_v<V, double> ? 0 : 1;
    scatter_lanes<V>(s[a].out, s[a + b].out, i, v);
}

// The forward and back substitutions of solve_implicit, K systems abreast
// on their interleaved factors (el, eu, pv, with y for the forward sweep):
// lanes 2j and 2j + 1 in one vector, an odd last lane alone.
template <std::size_t K>
ZUB_VECTOR_CLONES void substitute(const ImplicitSystem* s, std::size_t n, const double* el, const double* eu,
                                  const double* pv, double* y) noexcept {
    constexpr std::size_t P = K / 2;
    constexpr bool odd = K % 2 == 1;
    const auto start = [&]<class V>(std::size_t a, V& carry) {
        carry = rhs<V>(s, a, 0) * load_lanes<V>(pv + a);
        store_lanes(y + a, carry);
    };
    const auto forward = [&]<class V>(std::size_t a, std::size_t i, V& carry) {
        const std::size_t at = i * K + a;
        carry = (rhs<V>(s, a, i) - carry * load_lanes<V>(el + at)) * load_lanes<V>(pv + at);
        store_lanes(y + at, carry);
    };
    const auto back = [&]<class V>(std::size_t a, std::size_t i, V& carry) {
        const std::size_t at = i * K + a;
        carry = load_lanes<V>(y + at) - load_lanes<V>(eu + at) * carry;
        solution(s, a, i, carry);
    };
    Pair pairs[P > 0 ? P : 1];
    double last = 0.0;
    for (std::size_t j = 0; j < P; ++j) start(2 * j, pairs[j]);
    if constexpr (odd) start(K - 1, last);
    for (std::size_t i = 1; i < n; ++i) {
        for (std::size_t j = 0; j < P; ++j) forward(2 * j, i, pairs[j]);
        if constexpr (odd) forward(K - 1, i, last);
    }
    for (std::size_t j = 0; j < P; ++j) solution(s, 2 * j, n - 1, pairs[j]);
    if constexpr (odd) solution(s, K - 1, n - 1, last);
    for (std::size_t i = n - 1; i-- > 0;) {
        for (std::size_t j = 0; j < P; ++j) back(2 * j, i, pairs[j]);
        if constexpr (odd) back(K - 1, i, last);
    }
}

// K systems solved together: their factorisations brought up to date, then
// interleaved, then the substitutions.
template <std::size_t K>
void sweep(const ImplicitSystem* s, std::size_t n, InterleavedFactors& f) {
    refresh_factors<K>(s);
    f.hold(s, K, n);
    substitute<K>(s, n, f.lower(), f.upper(), f.pivot_inv(), f.sweep());
}

}  // namespace

// The systems' factorisations must be current for their weights (the
// caller refreshes them first): a factorisation that was dropped keeps its
// id until it is rebuilt.
void InterleavedFactors::hold(const ImplicitSystem* systems, std::size_t lanes, std::size_t n) {
    bool current = lanes == lanes_ && n == n_;
    for (std::size_t k = 0; k < lanes && current; ++k) current = ids_[k] == systems[k].op->factorisation_id();
    if (current) return;
    const std::size_t size = lanes * n;
    block_.resize(4 * size);
    lanes_ = lanes;
    n_ = n;
    double* el = block_.data();
    double* eu = el + size;
    double* pv = eu + size;
    for (std::size_t k = 0; k < lanes; ++k) {
        // Built already for this weight: nothing is factorised here.
        const TridiagonalOperator::Factors f = systems[k].op->factors_for(systems[k].c);
        ids_[k] = systems[k].op->factorisation_id();
        for (std::size_t i = 0; i < n; ++i) {
            el[i * lanes + k] = f.lower[i];
            eu[i * lanes + k] = f.upper[i];
            pv[i * lanes + k] = f.pivot_inv[i];
        }
    }
}

void solve_implicit_lanes(std::span<const ImplicitSystem> systems, std::size_t n, InterleavedFactors& interleaved) {
    for (std::size_t first = 0; first < systems.size(); first += kMaxLanes) {
        const std::size_t count = std::min(kMaxLanes, systems.size() - first);
        with_lane_count(count, [&](auto k) { sweep<k>(systems.data() + first, n, interleaved); });
    }
}

}  // namespace zub
