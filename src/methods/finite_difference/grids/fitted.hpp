// Grids laid through given spot values.
#pragma once

#include <span>

#include "methods/finite_difference/grids/fdm_grid.hpp"

namespace zub {

// x_i = to_coordinate(S_i) for each spot, kept in the given order and
// spacing; the spots are stored unchanged.
FdmGrid build_fitted_grid(std::span<const double> spots, const Transform& transform);

// The fitted grid through the spots S_i + d, same transform: the relabelled
// grid of a dividend jump.
FdmGrid shifted_by(const FdmGrid& grid, double d);

}  // namespace zub
