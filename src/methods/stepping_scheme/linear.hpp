// European exercise: the stage values are taken as solved.
#pragma once

#include <span>

#include "instruments/vanilla_option.hpp"
#include "methods/finite_difference/grids/fdm_grid.hpp"
#include "methods/linear_operators/tridiagonal_operator.hpp"
#include "methods/stepping_scheme/payoff.hpp"

namespace zub {

// Grid and operator are referenced: a dividend rebuilds them in place.
class LinearScheme {
public:
    LinearScheme(const FdmGrid& grid, const TridiagonalOperator& op, double strike, OptionType type) noexcept
        : grid_(grid), op_(op), strike_(strike), type_(type) {}

    // Another option on the same grid and operator (refilled in place).
    void reset(double strike, OptionType type) noexcept {
        strike_ = strike;
        type_ = type;
    }
    // u = payoff at the nodes, F = L u.
    void create(std::span<double> u, std::span<double> F) const;
    // F = L U.
    void after_solve(std::span<double> U, std::span<double> F) const { op_.apply(U, F); }
    // F = L u on the current operator.
    void after_dividend(std::span<double> u, std::span<double> F) const { op_.apply(u, F); }

protected:
    const FdmGrid& grid_;
    const TridiagonalOperator& op_;
    double strike_;
    OptionType type_;
};

}  // namespace zub
