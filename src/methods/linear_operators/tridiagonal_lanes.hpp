// Several independent tridiagonal solves in one loop.
#pragma once

#include <cstddef>
#include <span>

#include "core/lanes.hpp"
#include "methods/linear_operators/tridiagonal_operator.hpp"

namespace zub {


// One system (I - c L) out = r of solve_implicit: operator, weight, right-hand
// side, solution and forward-sweep scratch, all of the operator's size.
struct ImplicitSystem {
    const TridiagonalOperator* op;
    double c;
    const double* r;
    double* out;
    double* scratch;
};

// Solves 1 to kMaxLanes systems of one size, giving each exactly the numbers
// solve_implicit gives it alone.  The sweeps are chains of dependent
// operations; running the systems' chains side by side in one loop lets
// the core overlap them.  This file is built without contraction into
// fused multiply-adds, which would change the bits.
void solve_implicit_lanes(std::span<const ImplicitSystem> systems, std::size_t n);

}  // namespace zub
