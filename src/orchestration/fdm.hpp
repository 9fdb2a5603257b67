// Finite-difference solve driver.
//
// Each option is priced in three steps, each in a file of its own:
//   orchestration/fdm_plan      plan: the grid solves (the option's own, its
//                               mirror-image put, or both blended), the stops
//                               of its dividends, whether it may share lanes
//   orchestration/fdm_grids     solve: grids marched alone or in lanes and
//                               read off at the spot
//   orchestration/fdm_combine   combine: mirror, blend, exercise floor
// and the engine beneath, in the order the solves use it:
//   orchestration/memory_limit        refuses node counts the machine cannot hold
//   methods/finite_difference/grids   uniform: the strike-centred grid (widened
//                                     to hold a far spot); fitted: the grid a
//                                     dividend relabels
//   methods/finite_difference         fdm_process: the Black-Scholes operator;
//                                     boundary_conditions: its Neumann ends
//   methods/linear_operators          the tridiagonal operator and its solve,
//                                     tridiagonal_lanes: several in one loop
//   methods/stepping_scheme           payoff; linear (European), post_projection
//                                     (American: every stage projected)
//   methods/time_stepping             step_budget, tr_bdf2 (the stepper),
//                                     input_vectors (its buffers), cancel_budget
//   math/interpolate/monotone_cubic   price and Greeks read off at the spot
#pragma once

#include <memory>
#include <optional>
#include <span>

#include "core/error.hpp"
#include "core/period.hpp"
#include "instruments/vanilla_option.hpp"
#include "market/dividend.hpp"
#include "market/market_point.hpp"
#include "methods/finite_difference/fdm_config.hpp"
#include "orchestration/option_result.hpp"

namespace zub {

class FdmLaneWorkspace;  // below

// Prices the option on a grid and reads price, delta, gamma and theta off the
// final values (vega and rho stay absent).  Failures come back as errors:
// Panic "TridiagonalOperator requires at least 3 elements, found N",
// Panic "Solver never ran" (T <= 0 or NaN), Panic "Spline failed in
// continuation region: <name>", Cancelled when `cancel` fired.  An
// allocation the machine cannot satisfy throws std::bad_alloc.
//
// With `vega_rho_bump`, vega and rho too: central differences of the price
// in sigma (by min(bump, sigma / 2) each way) and in r (by bump), each
// bumped pair priced on the grids of the option itself, whose width does
// not move with the bump, so that they change smoothly with the inputs.
Outcome<OptionResult> solve_fdm(const VanillaOption& option, std::span<const Dividend> dividends,
                                const Instant& valuation, const FdmConfig& settings, const MarketPoint& market,
                                CancelCheck cancel = {}, FdmLaneWorkspace* workspace = nullptr,
                                std::optional<double> vega_rho_bump = std::nullopt);

// The same solve with time already in years: T to expiry and each
// dividend's time.  Every dividend with a positive amount strictly inside
// (0, T) is applied once; dividends at the same time make one jump of their
// summed amount.
Outcome<OptionResult> solve_fdm_in_years(OptionType type, ExerciseStyle style, double strike, double T,
                                         std::span<const DividendAt> dividends, const FdmConfig& settings,
                                         const MarketPoint& market, CancelCheck cancel = {},
                                         FdmLaneWorkspace* workspace = nullptr,
                                         std::optional<double> vega_rho_bump = std::nullopt);

// One option of a block that solve_fdm_block prices.
struct FdmLane {
    OptionType type = OptionType::Call;
    ExerciseStyle style = ExerciseStyle::European;
    double strike = 0.0;
    double T = 0.0;
    MarketPoint market;
};

// Buffers that the solves keep from one call to the next, for a thread
// that solves block after block: once a block has been solved at a node
// count, later blocks at that count allocate nothing.  One thread at a
// time.
class FdmLaneWorkspace {
public:
    FdmLaneWorkspace();
    ~FdmLaneWorkspace();
    FdmLaneWorkspace(const FdmLaneWorkspace&) = delete;
    FdmLaneWorkspace& operator=(const FdmLaneWorkspace&) = delete;

    // The bytes its buffers hold now.
    std::size_t bytes() const noexcept;
    // Frees them.
    void release() noexcept;
    void swap(FdmLaneWorkspace& other) noexcept { buffers_.swap(other.buffers_); }

    struct Buffers;
    // Its buffers, ready for grids of `nodes` nodes.
    Buffers& buffers_for(std::size_t nodes);

private:
    std::unique_ptr<Buffers> buffers_;
};

// solve_fdm_in_years for each option of a block, all on the same dividends
// (in years) and settings: out[i] receives exactly what options[i] gets
// alone.  Options whose grids need no stop march in lanes, their
// tridiagonal systems solved in one loop (solve_implicit_lanes), which
// overlaps the sweeps' dependent chains.  Without a workspace the call uses
// buffers of its own.
void solve_fdm_block(std::span<const FdmLane> options, std::span<const DividendAt> dividends,
                     const FdmConfig& settings, CancelCheck cancel,
                     std::span<std::optional<Outcome<OptionResult>>> out, FdmLaneWorkspace* workspace = nullptr,
                     std::optional<double> vega_rho_bump = std::nullopt);

// The fewest options of a block that solve_fdm_block prices as fast per
// option as a larger one: the width of its lanes.
std::size_t fdm_block_granularity() noexcept;

}  // namespace zub
