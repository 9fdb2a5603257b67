// Grid evenly spaced in the transformed coordinate, centred on the strike.
#pragma once

#include "methods/finite_difference/fdm_config.hpp"
#include "methods/finite_difference/grids/fdm_grid.hpp"

namespace zub {

// Half-width w = sqrt(T) sigma grid_std_devs in ln(S/K); nodes evenly spaced
// in x between to_coordinate(K e^-w) and to_coordinate(K e^w).  With an odd
// node count the middle node lies on K up to rounding.  Nothing is checked:
// T <= 0 or NaN inputs give coinciding or NaN nodes.
FdmGrid build_uniform_grid(const FdmConfig& settings, double strike, double sigma, double T);

}  // namespace zub
