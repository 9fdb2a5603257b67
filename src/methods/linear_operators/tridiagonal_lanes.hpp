// Several independent tridiagonal solves in one loop.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/lanes.hpp"
#include "methods/linear_operators/tridiagonal_operator.hpp"

namespace zub {

// One system (I - c L) out = r of solve_implicit: operator, weight, and
// right-hand side and solution of the operator's size.
struct ImplicitSystem {
    const TridiagonalOperator* op;
    double c;
    const double* r;
    double* out;
};

// The factorisations of the operators of a group of lanes, interleaved
// node by node (lane k of node i at i * lanes + k) so that two lanes load,
// compute and store as one vector, with the forward sweep's scratch laid
// out alike.  Kept by the caller from one solve to the next and copied
// again only when an operator's factorisation changes.
class InterleavedFactors {
public:
    // Holds the factorisations of the operators of systems[0..lanes), of
    // n nodes each, current for their weights.
    void hold(const ImplicitSystem* systems, std::size_t lanes, std::size_t n);
    const double* lower() const noexcept { return block_.data(); }
    const double* upper() const noexcept { return block_.data() + lanes_ * n_; }
    const double* pivot_inv() const noexcept { return block_.data() + 2 * lanes_ * n_; }
    double* sweep() noexcept { return block_.data() + 3 * lanes_ * n_; }
    std::size_t bytes() const noexcept { return block_.capacity() * sizeof(double); }

private:
    std::vector<double> block_;  // lower | upper | pivot_inv | sweep
    std::size_t lanes_ = 0;
    std::size_t n_ = 0;
    std::array<std::uint64_t, kMaxLanes> ids_{};
};

// Solves 1 to kMaxLanes systems of one size, giving each exactly the numbers
// solve_implicit gives it alone.  The sweeps are chains of dependent
// operations; running the systems' chains side by side in one loop lets
// the core overlap them.  They are solved on `interleaved` copies of their
// factors, two systems to a vector.  This file is built without contraction
// into fused multiply-adds, which would change the bits.
void solve_implicit_lanes(std::span<const ImplicitSystem> systems, std::size_t n, InterleavedFactors& interleaved);

}  // namespace zub
