#include "methods/finite_difference/boundary_conditions/neumann_standard.hpp"

namespace zub {

BoundarySlopes boundary_slopes(OptionType type) noexcept {
    return type == OptionType::Call ? BoundarySlopes{0.0, 1.0} : BoundarySlopes{-1.0, 0.0};
}

NeumannStandard::NeumannStandard(const FdmGrid& grid, BoundarySlopes slopes) noexcept {
    const std::size_t last = grid.size() - 1;
    first_ = grid.dx_forward()[0] * slopes.low * grid.jet_at_node(0).slope;
    last_ = grid.dx_backward()[last] * slopes.up * grid.jet_at_node(last).slope;
}

}  // namespace zub
