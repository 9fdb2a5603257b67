// Far-boundary condition: the option's slope dV/dS at the ends of the grid.
#pragma once

#include <span>

#include "instruments/vanilla_option.hpp"
#include "methods/finite_difference/grids/fdm_grid.hpp"

namespace zub {

// dV/dS at S_min and at S_max.
struct BoundarySlopes {
    double low = 0.0;
    double up = 0.0;
};

// Call (0, 1), put (-1, 0).
BoundarySlopes boundary_slopes(OptionType type) noexcept;

// Right-hand-side entries of the two boundary equations u_1 - u_0 = r_0 and
// u_{N-1} - u_{N-2} = r_{N-1}: the slope dV/dS turned into a difference of
// node values, r_0 = dx_forward[0] g_low S'(x_0) and
// r_{N-1} = dx_backward[N-1] g_up S'(x_{N-1}).  Fixed for one grid.
class NeumannStandard {
public:
    NeumannStandard(const FdmGrid& grid, BoundarySlopes slopes) noexcept;

    double first() const noexcept { return first_; }
    double last() const noexcept { return last_; }

    // Overwrites r_0 and r_{N-1} (r has N >= 2 entries).
    void apply(std::span<double> r) const noexcept {
        r.front() = first_;
        r.back() = last_;
    }

private:
    double first_;
    double last_;
};

}  // namespace zub
