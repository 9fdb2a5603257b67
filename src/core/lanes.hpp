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

}  // namespace zub
