// American exercise: every stage result is projected onto the exercise value.
#pragma once

#include <span>

#include "methods/stepping_scheme/linear.hpp"

namespace zub {

class PostProjectionScheme : private LinearScheme {
public:
    PostProjectionScheme(const FdmGrid& grid, const TridiagonalOperator& op, double strike, OptionType type) noexcept
        : LinearScheme(grid, op, strike, type), phi_(type == OptionType::Call ? 1.0 : -1.0) {}

    void reset(double strike, OptionType type) noexcept {
        LinearScheme::reset(strike, type);
        phi_ = type == OptionType::Call ? 1.0 : -1.0;
    }
    // Early exercise is decided node by node, and where the option is
    // exercised its time derivative F is held at zero: at expiry where the
    // payoff is positive and F negative (holding loses value), later where
    // a stage or a dividend left the value below the exercise value.  The
    // two boundary rows of F hold the Neumann differences and are left as
    // they are.

    // u = payoff, F = L u, held at every interior node in the money by
    // more than rounding (a node within 1e-12 of the strike, relative,
    // counts as at the money) where F < 0.
    void create(std::span<double> u, std::span<double> F);

    // Projects U onto the exercise value from the bottom node upwards and
    // from the top node downwards (each pass ends at the first node not
    // below its exercise value), then F = L U, held at the projected nodes
    // in the money.
    void after_solve(std::span<double> U, std::span<double> F) const;

    // Projects u at every node, F = L u, held at the nodes in the money of
    // the range of projected nodes.
    void after_dividend(std::span<double> u, std::span<double> F) const;

    // (S_i - K) phi on the current grid; not floored at zero.
    double exercise_value(std::size_t i) const noexcept { return (grid_.spots()[i] - strike_) * phi_; }

private:
    bool in_the_money(std::size_t i) const noexcept;
    // F = 0 at the interior nodes in the money of [lo, hi] (only_falling:
    // those where F < 0).
    void hold(std::span<double> F, std::size_t lo, std::size_t hi, bool only_falling) const noexcept;

    double phi_;
};

}  // namespace zub
