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
        early_exercise_active_ = false;
    }
    // u = payoff, F = L u.  Early exercise counts as active when F is
    // negative at the lowest node whose payoff exceeds 1e-7; F is then
    // zeroed at every node in the money by more than rounding (a node
    // within 1e-12 of the strike, relative, counts as at the money).
    void create(std::span<double> u, std::span<double> F);

    // Projects U onto the exercise value from the bottom node upwards and
    // from the top node downwards (each pass ends at the first node not
    // below its exercise value), then F = L U, zeroed over the projected
    // range when early exercise is active.
    void after_solve(std::span<double> U, std::span<double> F) const;

    // Projects u at every node, F = L u, zeroed from the lowest projected
    // node to the top when early exercise is active.
    void after_dividend(std::span<double> u, std::span<double> F) const;

    // (S_i - K) phi on the current grid; not floored at zero.
    double exercise_value(std::size_t i) const noexcept { return (grid_.spots()[i] - strike_) * phi_; }
    bool early_exercise_active() const noexcept { return early_exercise_active_; }

private:
    double phi_;
    bool early_exercise_active_ = false;
};

}  // namespace zub
