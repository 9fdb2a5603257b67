// Buffers of one time-stepping run: the carried state and the stage scratch.
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

namespace zub {

// The carried state: node values u and their time derivative F = du/dtau
// as the last stage (and the scheme's adjustments) left it.
struct StageVectors {
    std::span<double> u;
    std::span<double> F;
};

// One zero-filled block of 8N floats: the state (u, F) and the scratch of a
// step (right-hand side, sweep, stage values U1, U2, stage derivatives F1,
// F2).  Nothing is allocated after construction.
class StepWorkspace {
public:
    explicit StepWorkspace(std::size_t n);
    StepWorkspace(const StepWorkspace&) = delete;
    StepWorkspace& operator=(const StepWorkspace&) = delete;

    std::size_t size() const noexcept { return n_; }
    StageVectors state() noexcept { return {{u_, n_}, {F_, n_}}; }
    StageVectors state() const noexcept { return {{u_, n_}, {F_, n_}}; }
    bool has_state() const noexcept { return has_state_; }
    void mark_state_created() noexcept { has_state_ = true; }
    // For another run: no state until the next mark_state_created.
    void forget_state() noexcept { has_state_ = false; }

    std::span<double> rhs() noexcept { return {rhs_, n_}; }
    std::span<double> sweep() noexcept { return {sweep_, n_}; }
    std::span<double> U1() noexcept { return {U1_, n_}; }
    std::span<double> F1() noexcept { return {F1_, n_}; }
    std::span<double> U2() noexcept { return {U2_, n_}; }
    std::span<double> F2() noexcept { return {F2_, n_}; }

    // The last stage becomes the state: (u, F) and (U2, F2) trade places.
    void promote_last_stage() noexcept {
        std::swap(u_, U2_);
        std::swap(F_, F2_);
    }

private:
    std::size_t n_;
    std::vector<double> block_;
    double* u_;
    double* F_;
    double* rhs_;
    double* sweep_;
    double* U1_;
    double* F1_;
    double* U2_;
    double* F2_;
    bool has_state_ = false;
};

}  // namespace zub
