#include "orchestration/memory_limit.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <new>
#include <unistd.h>

namespace zub {

namespace {

// Floats per node that one solve holds at its peak: grid 6 (coordinates,
// steps, spots and their two derivatives), operator and factorisation 6,
// state and scratch 8, read-off 4.
constexpr std::uint64_t kFloatsPerNode = 24;

// Refuses, before anything is allocated, a node count whose buffers could
// not fit in the machine's memory.
std::uint64_t largest_solve() noexcept {
    std::uint64_t limit = std::numeric_limits<std::size_t>::max() / (kFloatsPerNode * sizeof(double));
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && page_size > 0) {
        const std::uint64_t bytes = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
        limit = std::min<std::uint64_t>(limit, bytes / (kFloatsPerNode * sizeof(double)));
    }
    return limit;
}

}  // namespace

void ensure_solve_fits(std::uint64_t n) {
    // The machine's memory is read once, not on every solve.
    static const std::uint64_t limit = largest_solve();
    if (n > limit) throw std::bad_alloc();
}

}  // namespace zub
