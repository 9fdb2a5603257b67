// The finite-difference driver's grid solves: an option (or a call's
// mirror-image put) stepped on its own grid from expiry to the valuation
// date and read off at the spot.  Up to a group's width of them march in
// lanes, their tridiagonal systems solved in one loop; a solve alone is a
// group of one.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "methods/finite_difference/fdm_config.hpp"
#include "orchestration/fdm.hpp"
#include "orchestration/fdm_plan.hpp"
#include "orchestration/option_result.hpp"

namespace zub {

// What the solves of one call share: the cancellation check, and the buffers
// of the caller's workspace (none: each group allocates its own and keeps
// nothing).
struct SolveContext {
    CancelCheck cancel;
    FdmLaneWorkspace::Buffers* buffers = nullptr;
};

// Scratch of the planning of one option, kept by a workspace.
struct PlanScratch {
    std::vector<DividendAt> dividends;  // solve_fdm's, in years
    std::vector<Jump> jumps;
    std::vector<Jump> inside;
};
PlanScratch& plan_scratch(FdmLaneWorkspace::Buffers& buffers) noexcept;

// Solves 1 to kMaxLanes grid solves of one scheme on grids of
// settings.grid_nodes (>= 3) nodes into out[k], each exactly what it gets
// alone.  All march through the stops `jumps` (a group of more than one has
// none and positive, finite lives).  Failures: Cancelled, Panic "Solver
// never ran" (no positive life), Panic "Spline failed in continuation
// region: <name>".
void solve_grids(std::span<const GridSolve> solves, std::span<const Jump> jumps, const FdmConfig& settings,
                 const SolveContext& context, std::span<std::optional<Outcome<OptionResult>>> out);

}  // namespace zub
