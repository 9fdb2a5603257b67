// The finite-difference driver: each option is planned (fdm_plan), its grid
// solves marched and read off (fdm_grids), and their results combined into
// the option's (fdm_combine).  Options whose solves need no stop share
// lanes with others of their scheme.
#include "orchestration/fdm.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "core/lanes.hpp"
#include "orchestration/fdm_combine.hpp"
#include "orchestration/fdm_grids.hpp"
#include "orchestration/fdm_plan.hpp"
#include "orchestration/memory_limit.hpp"

namespace zub {

namespace {

Error too_few_nodes(const FdmConfig& settings) {
    return Error::panic("TridiagonalOperator requires at least 3 elements, found " +
                        std::to_string(settings.grid_nodes));
}

// The plan of an option living T years, its stops left in scratch.jumps.
FdmPlan plan_option(const FdmLane& option, std::span<const DividendAt> dividends, PlanScratch& scratch,
                    double grid_vol = std::numeric_limits<double>::quiet_NaN()) {
    dividend_jumps(dividends, option.T, scratch.jumps, scratch.inside);
    return plan_fdm(option.type, option.style, option.strike, option.T, cash_dividend_inside(dividends, option.T),
                    scratch.jumps, option.market, grid_vol);
}

// Each grid solve of the plan alone, in the plan's order, then combined.
Outcome<OptionResult> solve_alone(const FdmPlan& plan, std::span<const Jump> jumps, const FdmConfig& settings,
                                  const SolveContext& context) {
    std::array<std::optional<Outcome<OptionResult>>, 2> results;
    for (std::size_t k = 0; k < plan.count; ++k) {
        solve_grids({&plan.solves[k], 1}, jumps, settings, context, {&results[k], 1});
        if (!*results[k]) break;  // the first failure is the answer
    }
    return combine_fdm(plan, results);
}

// Plans whose grid solves march together in lanes, all by one scheme, and
// where their options' results go.
class LaneGroup {
public:
    bool fits(const FdmPlan& plan) const noexcept { return solves_ + plan.count <= kMaxLanes; }
    void add(const FdmPlan& plan, std::size_t where) {
        plans_[count_] = plan;
        where_[count_++] = where;
        for (std::size_t k = 0; k < plan.count; ++k) grids_[solves_++] = plan.solves[k];
    }
    // Solves the group and empties it.
    void solve(const FdmConfig& settings, const SolveContext& context,
               std::span<std::optional<Outcome<OptionResult>>> out) {
        if (count_ == 0) return;
        std::array<std::optional<Outcome<OptionResult>>, kMaxLanes> results;
        solve_grids({grids_.data(), solves_}, {}, settings, context, {results.data(), solves_});
        std::size_t first = 0;
        for (std::size_t i = 0; i < count_; ++i) {
            out[where_[i]] = combine_fdm(plans_[i], {results.data() + first, plans_[i].count});
            first += plans_[i].count;
        }
        count_ = 0;
        solves_ = 0;
    }

private:
    std::array<FdmPlan, kMaxLanes> plans_;
    std::array<std::size_t, kMaxLanes> where_{};
    std::array<GridSolve, kMaxLanes> grids_;
    std::size_t count_ = 0;
    std::size_t solves_ = 0;
};

// Each option of a block into out[i], on grids as wide as grid_vols[i]
// makes them (each its own volatility without grid_vols).  One group per
// scheme; a plan with stops is solved alone at once.
void price_block(std::span<const FdmLane> options, const double* grid_vols, std::span<const DividendAt> dividends,
                 const FdmConfig& settings, const SolveContext& context,
                 std::span<std::optional<Outcome<OptionResult>>> out) {
    PlanScratch& scratch = plan_scratch(*context.buffers);
    std::array<LaneGroup, 2> groups;
    for (std::size_t i = 0; i < options.size(); ++i) {
        const FdmPlan plan = grid_vols != nullptr ? plan_option(options[i], dividends, scratch, grid_vols[i])
                                                  : plan_option(options[i], dividends, scratch);
        if (!plan.in_lanes) {
            out[i] = solve_alone(plan, scratch.jumps, settings, context);
            continue;
        }
        LaneGroup& g = groups[static_cast<std::size_t>(plan.solves[0].scheme)];
        if (!g.fits(plan)) g.solve(settings, context, out);
        g.add(plan, i);
    }
    for (LaneGroup& g : groups) g.solve(settings, context, out);
}

// Vega and rho of the priced options of a block by central differences with
// `bump`: sigma +- min(bump, sigma / 2) and r +- bump, each pair on the
// grids of the unbumped option.  A failed bumped solve is the option's
// outcome.
void add_vega_rho(std::span<const FdmLane> options, std::span<const DividendAt> dividends, const FdmConfig& settings,
                  const SolveContext& context, double bump, std::span<std::optional<Outcome<OptionResult>>> out) {
    constexpr std::size_t kChunk = kMaxLanes;
    for (std::size_t first = 0; first < options.size(); first += kChunk) {
        const std::size_t count = std::min(kChunk, options.size() - first);
        std::array<FdmLane, 4 * kChunk> bumped;
        std::array<double, 4 * kChunk> grid_vol{};
        std::array<double, kChunk> vol_step{};
        std::array<std::size_t, kChunk> where{};
        std::size_t n = 0;
        for (std::size_t i = first; i < first + count; ++i) {
            if (!*out[i]) continue;
            const FdmLane& o = options[i];
            const double h = std::fmin(bump, 0.5 * o.market.vol);
            const std::size_t at = 4 * n;
            bumped[at] = bumped[at + 1] = bumped[at + 2] = bumped[at + 3] = o;
            bumped[at].market.vol += h;
            bumped[at + 1].market.vol -= h;
            bumped[at + 2].market.rate += bump;
            bumped[at + 3].market.rate -= bump;
            for (std::size_t k = 0; k < 4; ++k) grid_vol[at + k] = o.market.vol;
            vol_step[n] = h;
            where[n++] = i;
        }
        std::array<std::optional<Outcome<OptionResult>>, 4 * kChunk> priced;
        price_block({bumped.data(), 4 * n}, grid_vol.data(), dividends, settings, context, {priced.data(), 4 * n});
        for (std::size_t k = 0; k < n; ++k) {
            std::optional<Outcome<OptionResult>>& target = out[where[k]];
            const auto p = [&](std::size_t j) -> Outcome<OptionResult>& { return *priced[4 * k + j]; };
            bool ok = true;
            for (std::size_t j = 0; j < 4 && ok; ++j) {
                if (!p(j)) {
                    target = std::move(p(j));
                    ok = false;
                }
            }
            if (!ok) continue;
            Greeks& g = (**target).greeks;
            g.vega = (p(0)->price - p(1)->price) / (2.0 * vol_step[k]);
            g.rho = (p(2)->price - p(3)->price) / (2.0 * bump);
        }
    }
}

}  // namespace

std::size_t fdm_block_granularity() noexcept { return kMaxLanes; }

Outcome<OptionResult> solve_fdm_in_years(OptionType type, ExerciseStyle style, double strike, double T,
                                         std::span<const DividendAt> dividends, const FdmConfig& settings,
                                         const MarketPoint& market, CancelCheck cancel, FdmLaneWorkspace* workspace,
                                         std::optional<double> vega_rho_bump) {
    if (vega_rho_bump) {
        const FdmLane option{type, style, strike, T, market};
        std::optional<Outcome<OptionResult>> out;
        solve_fdm_block({&option, 1}, dividends, settings, cancel, {&out, 1}, workspace, vega_rho_bump);
        return std::move(*out);
    }
    if (settings.grid_nodes < 3) return too_few_nodes(settings);
    ensure_solve_fits(settings.grid_nodes);
    const SolveContext context{
        cancel, workspace != nullptr ? &workspace->buffers_for(static_cast<std::size_t>(settings.grid_nodes)) : nullptr};
    PlanScratch own;
    PlanScratch& scratch = context.buffers != nullptr ? plan_scratch(*context.buffers) : own;
    const FdmPlan plan = plan_option({type, style, strike, T, market}, dividends, scratch);
    return solve_alone(plan, scratch.jumps, settings, context);
}

void solve_fdm_block(std::span<const FdmLane> options, std::span<const DividendAt> dividends,
                     const FdmConfig& settings, CancelCheck cancel,
                     std::span<std::optional<Outcome<OptionResult>>> out, FdmLaneWorkspace* workspace,
                     std::optional<double> vega_rho_bump) {
    if (options.empty()) return;
    if (settings.grid_nodes < 3) {
        for (std::size_t i = 0; i < options.size(); ++i) out[i] = too_few_nodes(settings);
        return;
    }
    ensure_solve_fits(settings.grid_nodes);
    FdmLaneWorkspace local;
    FdmLaneWorkspace& ws = workspace != nullptr ? *workspace : local;
    const SolveContext context{cancel, &ws.buffers_for(static_cast<std::size_t>(settings.grid_nodes))};
    price_block(options, nullptr, dividends, settings, context, out);
    if (vega_rho_bump) add_vega_rho(options, dividends, settings, context, *vega_rho_bump, out);
}

Outcome<OptionResult> solve_fdm(const VanillaOption& option, std::span<const Dividend> dividends,
                                const Instant& valuation, const FdmConfig& settings, const MarketPoint& market,
                                CancelCheck cancel, FdmLaneWorkspace* workspace, std::optional<double> vega_rho_bump) {
    std::vector<DividendAt> own;
    std::vector<DividendAt>& in_years =
        workspace != nullptr
            ? plan_scratch(workspace->buffers_for(static_cast<std::size_t>(settings.grid_nodes))).dividends
            : own;
    in_years.clear();
    for (const Dividend& d : dividends) in_years.push_back({act365_years(valuation, d.ex_date), d.amount});
    return solve_fdm_in_years(option.type, option.style, option.strike, option.years_to_expiry(valuation),
                              in_years, settings, market, cancel, workspace, vega_rho_bump);
}

}  // namespace zub
