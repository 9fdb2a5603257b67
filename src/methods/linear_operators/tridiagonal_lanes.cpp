#include "methods/linear_operators/tridiagonal_lanes.hpp"

#include <algorithm>

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
    refresh_factors<K>(s);
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

// The same for an even K on interleaved factors, lanes 2j and 2j + 1 in one
// vector: each element of a vector operation rounds as the scalar
// operation does.
template <std::size_t K>
void sweep_pairs(const ImplicitSystem* s, std::size_t n, InterleavedFactors& f) {
    static_assert(K % 2 == 0);
    using Pair = double __attribute__((vector_size(16)));
    constexpr std::size_t P = K / 2;
    refresh_factors<K>(s);
    f.hold(s, K, n);
    const auto load = [](const double* at) {
        Pair v;
        __builtin_memcpy(&v, at, sizeof v);
        return v;
    };
    const double* el = f.lower();
    const double* eu = f.upper();
    const double* pv = f.pivot_inv();
    double* y = f.sweep();
    const double* r[K];
    double* x[K];
    for (std::size_t k = 0; k < K; ++k) {
        r[k] = s[k].r;
        x[k] = s[k].out;
    }
    Pair carry[P];
    for (std::size_t j = 0; j < P; ++j) {
        carry[j] = Pair{r[2 * j][0], r[2 * j + 1][0]} * load(pv + 2 * j);
        __builtin_memcpy(y + 2 * j, &carry[j], sizeof(Pair));
    }
    for (std::size_t i = 1; i < n; ++i) {
        const std::size_t at = i * K;
        for (std::size_t j = 0; j < P; ++j) {
            const Pair rhs{r[2 * j][i], r[2 * j + 1][i]};
            carry[j] = (rhs - carry[j] * load(el + at + 2 * j)) * load(pv + at + 2 * j);
            __builtin_memcpy(y + at + 2 * j, &carry[j], sizeof(Pair));
        }
    }
    for (std::size_t j = 0; j < P; ++j) {
        x[2 * j][n - 1] = carry[j][0];
        x[2 * j + 1][n - 1] = carry[j][1];
    }
    for (std::size_t i = n - 1; i-- > 0;) {
        const std::size_t at = i * K;
        for (std::size_t j = 0; j < P; ++j) {
            carry[j] = load(y + at + 2 * j) - load(eu + at + 2 * j) * carry[j];
            x[2 * j][i] = carry[j][0];
            x[2 * j + 1][i] = carry[j][1];
        }
    }
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

void solve_implicit_lanes(std::span<const ImplicitSystem> systems, std::size_t n, InterleavedFactors* interleaved) {
    for (std::size_t first = 0; first < systems.size(); first += kMaxLanes) {
        const std::size_t count = std::min(kMaxLanes, systems.size() - first);
        with_lane_count(count, [&](auto k) {
            if constexpr (k % 2 == 0) {
                if (interleaved != nullptr) return sweep_pairs<k>(systems.data() + first, n, *interleaved);
            }
            sweep<k>(systems.data() + first, n);
        });
    }
}

}  // namespace zub
