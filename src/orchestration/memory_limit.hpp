// The largest finite-difference solve the machine's memory can hold.
#pragma once

#include <cstdint>

namespace zub {

// Throws std::bad_alloc, before anything is allocated, for a node count
// whose buffers could not fit in the machine's memory (read once).
void ensure_solve_fits(std::uint64_t n);

}  // namespace zub
