// TR-BDF2 as a three-stage singly diagonally implicit Runge-Kutta scheme
// whose explicit first stage is the last stage of the previous step
// (first-same-as-last): the time derivative is carried, not recomputed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <numbers>
#include <span>

#include "methods/finite_difference/boundary_conditions/neumann_standard.hpp"
#include "methods/linear_operators/tridiagonal_operator.hpp"
#include "methods/time_stepping/cancel_budget.hpp"
#include "methods/time_stepping/input_vectors.hpp"
#include "methods/time_stepping/step_budget.hpp"

namespace zub {

// The weights follow from gamma = 2 - sqrt(2); the asserts pin the bits the
// engine has always used.
struct TrBdf2Tableau {
    // Stage 1 (trapezoidal) ends at gamma of the step.
    static constexpr double gamma = 2.0 - std::numbers::sqrt2;
    // Stage 1: weight on F_n and implicit weight.
    static constexpr double stage1 = gamma / 2.0;
    // Stage 2 (BDF2): weight on F_n and on F_1.
    static constexpr double stage2_explicit = 1.0 / (2.0 * (2.0 - gamma));
    // Stage 2: implicit weight, (1 - gamma) / (2 - gamma): mathematically
    // stage1, two units in the last place apart here.  Both stages of a step
    // share one factorisation only because the operator's cache treats
    // coefficients within 1e-12 as equal.
    static constexpr double stage2_implicit = (1.0 - gamma) / (2.0 - gamma);
};
static_assert(TrBdf2Tableau::gamma == 0.5857864376269049);
static_assert(TrBdf2Tableau::stage1 == 0.2928932188134524);
static_assert(TrBdf2Tableau::stage2_explicit == 0.35355339059327373);
static_assert(TrBdf2Tableau::stage2_implicit == 0.29289321881345254);

// The stages' right-hand sides over n nodes: r = u + w F (stage 1) and
// r = u + w F + w F1 (stage 2), each sum taken from the left.
void stage1_sum(const double* u, const double* f, double w, double* r, std::size_t n) noexcept;
void stage2_sum(const double* u, const double* f, const double* f1, double w, double* r, std::size_t n) noexcept;

// Advances the state of `ws` with steps of equal length.  Scheme provides
// after_solve(U, F) (may change U, writes F).  The operator and boundary
// condition are referenced, so a dividend may rebuild them in place between
// runs.
template <class Scheme>
class TrBdf2 {
public:
    TrBdf2(const TridiagonalOperator& op, const NeumannStandard& bc, Scheme& scheme, StepWorkspace& ws) noexcept
        : op_(op), bc_(bc), scheme_(scheme), ws_(ws) {}

    void step(double dt) {
        op_.solve_implicit(ws_.rhs(), stage1_rhs(dt), ws_.U1(), ws_.sweep());
        stage1_solved();
        op_.solve_implicit(ws_.rhs(), stage2_rhs(dt), ws_.U2(), ws_.sweep());
        stage2_solved();
    }

    // A step in its parts, for solving several grids' systems together:
    // each *_rhs fills the workspace's right-hand side and returns the
    // implicit weight c of (I - c L) U = rhs, whose solution goes to U1
    // (stage 1) or U2 (stage 2) before the matching *_solved.
    double stage1_rhs(double dt) {
        const StageVectors s = ws_.state();
        const double w1 = TrBdf2Tableau::stage1 * dt;
        stage1_sum(s.u.data(), s.F.data(), w1, ws_.rhs().data(), ws_.size());
        bc_.apply(ws_.rhs());
        return w1;
    }
    void stage1_solved() { scheme_.after_solve(ws_.U1(), ws_.F1()); }
    double stage2_rhs(double dt) {
        const StageVectors s = ws_.state();
        const double w2 = TrBdf2Tableau::stage2_explicit * dt;
        stage2_sum(s.u.data(), s.F.data(), ws_.F1().data(), w2, ws_.rhs().data(), ws_.size());
        bc_.apply(ws_.rhs());
        return TrBdf2Tableau::stage2_implicit * dt;
    }
    void stage2_solved() {
        scheme_.after_solve(ws_.U2(), ws_.F2());
        ws_.promote_last_stage();
    }

    // n steps of dt; false when the budget reported cancellation (the state
    // is then left part-way).
    bool run(std::uint64_t n, double dt, CancelBudget& budget) {
        for (std::uint64_t k = 0; k < n; ++k) {
            step(dt);
            if (budget.spend(ws_.size())) return false;
        }
        return true;
    }

private:
    const TridiagonalOperator& op_;
    const NeumannStandard& bc_;
    Scheme& scheme_;
    StepWorkspace& ws_;
};

}  // namespace zub
