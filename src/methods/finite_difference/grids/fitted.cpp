#include "methods/finite_difference/grids/fitted.hpp"

#include <algorithm>

namespace zub {

FdmGrid build_fitted_grid(std::span<const double> spots, const Transform& transform) {
    FdmGrid grid(GridKind::Fitted, transform, spots.size());
    std::copy(spots.begin(), spots.end(), grid.spots_mut().begin());
    grid.shift_in_place(0.0);
    return grid;
}

FdmGrid shifted_by(const FdmGrid& grid, double d) {
    FdmGrid out = grid;
    out.shift_in_place(d);
    return out;
}

}  // namespace zub
