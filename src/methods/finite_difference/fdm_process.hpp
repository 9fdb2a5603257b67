// The Black-Scholes spatial operator on a finite-difference grid.
#pragma once

#include "market/market_point.hpp"
#include "methods/finite_difference/grids/fdm_grid.hpp"
#include "methods/linear_operators/tridiagonal_operator.hpp"

namespace zub {

// L with dV/dtau = L V: interior rows are the three-point weights of
// a d2/dx2 + b d/dx - r on the (possibly non-uniform) grid, with
// a = sigma^2 S^2 / (2 S'^2) and b = (r - q) S / S' - sigma^2 S^2 S'' / (2 S'^3);
// rows 0 and N-1 are zero; the record's spot is not read.  Throws Panic
// "TridiagonalOperator requires at least 3 elements, found N" when N < 3.
TridiagonalOperator build_process_operator(const MarketPoint& params, const FdmGrid& grid);

// The same rows written into an operator of the grid's size (the cached
// factorisation and boundary-row marks are dropped), then the first and last
// rows set to first differences.
void rebuild_with_neumann_rows(const MarketPoint& params, const FdmGrid& grid, TridiagonalOperator& op);

}  // namespace zub
