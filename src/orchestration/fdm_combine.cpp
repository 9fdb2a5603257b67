#include "orchestration/fdm_combine.hpp"

#include "orchestration/put_call_symmetry.hpp"

namespace zub {

namespace {

// An American price read off below the exercise value at the spot means
// the spot is in the exercise region, where the option is worth exactly
// that: the cubic between a projected and an unprojected node dips below it.
void floor_at_exercise(OptionResult& out, OptionType type, double strike, double spot) noexcept {
    const double phi = type == OptionType::Call ? 1.0 : -1.0;
    const double exercise = (spot - strike) * phi;
    if (!(out.price < exercise)) return;
    out.price = exercise;
    out.greeks.delta = phi;
    out.greeks.gamma = 0.0;
    out.greeks.theta = 0.0;
}

}  // namespace

Outcome<OptionResult> combine_fdm(const FdmPlan& plan, std::span<std::optional<Outcome<OptionResult>>> results) {
    for (std::size_t k = 0; k < plan.count; ++k) {
        Outcome<OptionResult>& r = *results[k];
        if (!r) return std::move(r);
        if (plan.solves[k].mirror) call_from_mirror_put(*r, plan.strike, plan.spot);
    }
    OptionResult out = **results[0];
    if (plan.count == 2) {
        const OptionResult& own = **results[1];
        const OptionResult& put = **results[0];
        out.price = plan.keep * own.price + plan.w * put.price;
        out.greeks.delta = plan.keep * own.greeks.delta + plan.w * put.greeks.delta;
        out.greeks.gamma = plan.keep * own.greeks.gamma + plan.w * put.greeks.gamma;
        // theta = -dV/dT, and the weights move with T too.
        out.greeks.theta = plan.keep * own.greeks.theta + plan.w * put.greeks.theta -
                           plan.dkeep_dT * (own.price - put.price);
    }
    if (plan.american) floor_at_exercise(out, plan.type, plan.strike, plan.spot);
    return out;
}

}  // namespace zub
