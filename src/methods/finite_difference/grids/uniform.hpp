// Grid evenly spaced in the transformed coordinate, centred on the strike.
#pragma once

#include <limits>

#include "methods/finite_difference/fdm_config.hpp"
#include "methods/finite_difference/grids/fdm_grid.hpp"

namespace zub {

// Half-width in ln(S/K) of a domain centred on the strike that holds the
// spot: w0 = sqrt(T) sigma grid_std_devs when the spot's distance
// x = |ln(spot / strike)| is at most w0 / 2, else 1.5 x + w0 / 4 (equal to w0
// at x = w0 / 2, and leaving the spot x / 2 + w0 / 4 inside the edge).  A spot
// that is not positive and finite, a NaN strike or a w0 that is not positive
// keep w0.
double domain_half_width(double w0, double spot, double strike) noexcept;

// Nodes evenly spaced in x between to_coordinate(K e^-w) and
// to_coordinate(K e^w), w = domain_half_width(sqrt(T) sigma grid_std_devs,
// spot, K); without a spot (NaN) w is that first width.  With an odd node
// count the middle node lies on K up to rounding.  Nothing is checked: T <= 0
// or NaN inputs give coinciding or NaN nodes.
FdmGrid build_uniform_grid(const FdmConfig& settings, double strike, double sigma, double T,
                           double spot = std::numeric_limits<double>::quiet_NaN());
// The same grid built in place, into a grid of settings.grid_nodes nodes.
void build_uniform_grid(FdmGrid& grid, const FdmConfig& settings, double strike, double sigma, double T, double spot);

}  // namespace zub
