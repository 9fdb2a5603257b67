// Finite-difference solve driver.
//
// The engine, in the order the driver uses it:
//   orchestration/memory_limit        refuses node counts the machine cannot hold
//   methods/finite_difference/grids   uniform: the strike-centred grid (widened
//                                     to hold a far spot); fitted: the grid a
//                                     dividend relabels
//   methods/finite_difference         fdm_process: the Black-Scholes operator;
//                                     boundary_conditions: its Neumann ends
//   methods/linear_operators          the tridiagonal operator and its solve
//   methods/stepping_scheme           payoff; linear (European), post_projection
//                                     (American: every stage projected)
//   methods/time_stepping             step_budget, tr_bdf2 (the stepper),
//                                     input_vectors (its buffers), cancel_budget
//   math/interpolate/monotone_cubic   price and Greeks read off at the spot
// A call may be solved as its mirror-image put (fdm.cpp says when).
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
Outcome<OptionResult> solve_fdm(const VanillaOption& option, std::span<const Dividend> dividends,
                                const Instant& valuation, const FdmConfig& settings, const MarketPoint& market,
                                CancelCheck cancel = {}, FdmLaneWorkspace* workspace = nullptr);

// A dividend placed in years after the valuation instant.
struct DividendAt {
    double time = 0.0;
    double amount = 0.0;
};

// The same solve with time already in years: T to expiry and each
// dividend's time.  Every dividend with a positive amount strictly inside
// (0, T) is applied once; dividends at the same time make one jump of their
// summed amount.
Outcome<OptionResult> solve_fdm_in_years(OptionType type, ExerciseStyle style, double strike, double T,
                                         std::span<const DividendAt> dividends, const FdmConfig& settings,
                                         const MarketPoint& market, CancelCheck cancel = {},
                                         FdmLaneWorkspace* workspace = nullptr);

// One option of a group that solve_fdm_lanes steps together.
struct FdmLane {
    OptionType type = OptionType::Call;
    ExerciseStyle style = ExerciseStyle::European;
    double strike = 0.0;
    double T = 0.0;
    MarketPoint market;
};

// Buffers that solve_fdm_lanes keeps from one call to the next, for a
// thread that solves group after group: once a group has been solved at a
// node count, later groups at that count allocate nothing.  One thread at a
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
    friend void solve_fdm_lanes(std::span<const FdmLane>, const FdmConfig&, CancelCheck,
                                std::span<std::optional<Outcome<OptionResult>>>, FdmLaneWorkspace*);
    std::unique_ptr<Buffers> buffers_;
};

// solve_fdm_in_years without dividends for up to kMaxLanes options with one
// set of settings: out[k] receives exactly what lane k gets alone.  Without
// a workspace the call uses buffers of its own.  The lanes march on their own grids in lock step and
// their tridiagonal systems are solved in one loop (solve_implicit_lanes),
// which overlaps the sweeps' dependent chains.
void solve_fdm_lanes(std::span<const FdmLane> lanes, const FdmConfig& settings, CancelCheck cancel,
                     std::span<std::optional<Outcome<OptionResult>>> out, FdmLaneWorkspace* workspace = nullptr);

}  // namespace zub
