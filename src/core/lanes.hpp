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

}  // namespace zub
