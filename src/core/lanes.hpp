// Work done for several independent problems in one loop ("lanes").
#pragma once

#include <cstddef>
#include <type_traits>

namespace zub {

// The most lanes one loop takes.
inline constexpr std::size_t kMaxLanes = 8;

// f(std::integral_constant<std::size_t, count>{}) for 1 <= count <= K, so that a
// loop over the lanes has a count fixed at compile time.
template <std::size_t K = kMaxLanes, class F>
void with_lane_count(std::size_t count, F&& f) {
    if constexpr (K > 1) {
        if (count < K) return with_lane_count<K - 1>(count, f);
    }
    f(std::integral_constant<std::size_t, K>{});
}

// Two lanes side by side in one vector.  Each element of an operation on
// it rounds as the scalar operation does, so a loop over pairs gives each
// lane the bits it would get alone (where no contraction is allowed).
using Pair = double __attribute__((vector_size(16)));

// V (double or Pair) from, or to, consecutive doubles at `at`.
template <class V>
V load_lanes(const double* at) noexcept {
    V v;
    __builtin_memcpy(&v, at, sizeof v);
    return v;
}

template <class V>
void store_lanes(double* at, V v) noexcept {
    __builtin_memcpy(at, &v, sizeof v);
}

// Element i of array a (V = double), or of arrays a and b side by side
// (V = Pair, a first); and the same written back.
template <class V>
V gather_lanes(const double* a, const double* b, std::size_t i) noexcept {
    if constexpr (std::is_same_v<V, double>) {
        return a[i];
    } else {
        return V{a[i], b[i]};
    }
}

template <class V>
void scatter_lanes(double* a, double* b, std::size_t i, V v) noexcept {
    if constexpr (std::is_same_v<V, double>) {
        a[i] = v;
    } else {
        a[i] = v[0];
        b[i] = v[1];
    }
}

}  // namespace zub
