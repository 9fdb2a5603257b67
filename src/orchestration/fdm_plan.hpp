// How the finite-difference driver prices one option: the grids it solves,
// how their results make the option's, and whether those grids may be
// stepped in lanes beside other options'.
#pragma once

#include <array>
#include <cstddef>
#include <limits>
#include <span>
#include <vector>

#include "instruments/vanilla_option.hpp"
#include "market/dividend.hpp"
#include "market/market_point.hpp"

namespace zub {

// A stop of the backward march: a dividend time strictly inside (0, T) and
// the sum of the positive amounts paid then (0: the march stops without a
// jump).
struct Jump {
    double time;
    double amount;
};

// The stops of a life of T years, latest first, into `jumps`; `inside` is
// scratch.  Both vectors keep their capacity.
void dividend_jumps(std::span<const DividendAt> dividends, double T, std::vector<Jump>& jumps,
                    std::vector<Jump>& inside);

// What the price is read off: the node values (phi 0), or their excess over
// the exercise value (S - K) phi, which is zero over the exercise region, so
// that the cubic cannot dip below the exercise value where the region ends.
struct ReadOff {
    double strike = 0.0;
    double phi = 0.0;
};

// One grid solve: the option, or its mirror-image put, on its own
// strike-centred grid, stepped by the scheme of `scheme`.
struct GridSolve {
    OptionType type = OptionType::Put;
    ExerciseStyle scheme = ExerciseStyle::European;
    double strike = 0.0;
    double T = 0.0;
    MarketPoint market;
    ReadOff how;
    bool mirror = false;  // the mirror-image put of a call
    double grid_vol = 0.0;  // the volatility the grid's width is set by
};

// The grid solves of one option and what is done to their results:
// solves[0..count) are solved, a mirror's result is turned into the call's,
// two results are blended as keep * own + w * mirror (theta with the
// weight's own change in time), and an American
// option is floored at its exercise value.  A mirror comes first, so that
// its failure is the one reported.
struct FdmPlan {
    std::array<GridSolve, 2> solves{};
    std::size_t count = 1;
    double keep = 1.0;  // weight of the option's own grid in a blend
    double w = 0.0;     // weight of the mirror in a blend
    double dkeep_dT = 0.0;  // keep's derivative in the time to expiry
    OptionType type = OptionType::Put;
    bool american = false;
    double strike = 0.0;
    double spot = 0.0;
    // No stop inside the life and a positive, finite T: the solves march in
    // one interval of the configured step count and may share lanes.
    bool in_lanes = false;
};

// The plan of an option living T years with stops `jumps` (dividend_jumps
// of its dividends).  `cash_dividend` answers cash_dividend_inside for it.
// Its grids are as wide as `grid_vol` makes them (the market's volatility
// when NaN).
FdmPlan plan_fdm(OptionType type, ExerciseStyle style, double strike, double T, bool cash_dividend,
                 std::span<const Jump> jumps, const MarketPoint& market,
                 double grid_vol = std::numeric_limits<double>::quiet_NaN()) noexcept;

}  // namespace zub
