#include "orchestration/fdm.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <unistd.h>
#include <vector>

#include "math/interpolate/monotone_cubic.hpp"
#include "methods/finite_difference/boundary_conditions/neumann_standard.hpp"
#include "methods/finite_difference/fdm_process.hpp"
#include "methods/finite_difference/grids/uniform.hpp"
#include "methods/linear_operators/tridiagonal_lanes.hpp"
#include "methods/stepping_scheme/linear.hpp"
#include "methods/stepping_scheme/post_projection.hpp"
#include "methods/time_stepping/input_vectors.hpp"
#include "methods/time_stepping/tr_bdf2.hpp"

namespace zub {

namespace {

// Floats per node that one solve holds at its peak: grid 4, operator and
// factorisation 6, state and scratch 8, read-out splines 7.
constexpr std::uint64_t kFloatsPerNode = 25;

// Refuses, before anything is allocated, a node count whose buffers could
// not fit in the machine's memory.
std::uint64_t largest_solve() noexcept {
    std::uint64_t limit = std::numeric_limits<std::size_t>::max() / (kFloatsPerNode * sizeof(double));
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && page_size > 0) {
        const std::uint64_t bytes = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
        limit = std::min<std::uint64_t>(limit, bytes / (kFloatsPerNode * sizeof(double)));
    }
    return limit;
}

void ensure_solve_fits(std::uint64_t n) {
    // The machine's memory is read once, not on every solve.
    static const std::uint64_t limit = largest_solve();
    if (n > limit) throw std::bad_alloc();
}

struct Jump {
    double time;
    double amount;
};

// One jump per distinct dividend time inside (0, T), latest first: the sum
// of the positive amounts at that time (zero when there are none, so the
// time still stops the march).
std::vector<Jump> dividend_jumps(std::span<const DividendAt> dividends, double T) {
    std::vector<Jump> inside;
    for (const DividendAt& d : dividends) {
        if (d.time > 0.0 && d.time < T) inside.push_back({d.time, d.amount});
    }
    std::stable_sort(inside.begin(), inside.end(), [](const Jump& a, const Jump& b) { return a.time > b.time; });
    std::vector<Jump> jumps;
    for (const Jump& d : inside) {
        if (jumps.empty() || jumps.back().time != d.time) jumps.push_back({d.time, 0.0});
        if (d.amount > 0.0) jumps.back().amount += d.amount;
    }
    return jumps;
}

Error spline_error(InterpolationError e) {
    return Error::panic(std::string("Spline failed in continuation region: ") + to_string(e));
}

// Price, delta, gamma and theta at the spot off the final node values.
Outcome<OptionResult> read_off(const FdmGrid& grid, StageVectors state, double spot) {
    std::vector<double> spots(grid.size());
    for (std::size_t i = 0; i < spots.size(); ++i) spots[i] = grid.spot_at_node(i);
    const SharedArray s = make_shared_array(std::move(spots));

    auto value_fit = MonotoneCubic::make(s, make_shared_array({state.u.begin(), state.u.end()}));
    if (auto* e = std::get_if<InterpolationError>(&value_fit)) return spline_error(*e);
    auto theta_fit = MonotoneCubic::make(s, make_shared_array({state.F.begin(), state.F.end()}));
    if (auto* e = std::get_if<InterpolationError>(&theta_fit)) return spline_error(*e);
    const MonotoneCubic& value = std::get<MonotoneCubic>(value_fit);

    const auto& S = *s;
    const auto& y = *value.y();
    const auto& m = value.slopes();
    const auto& M = value.second_derivatives();
    const std::size_t lo = locate_interval(S, spot);
    const double h = S[lo + 1] - S[lo];
    const double t = (spot - S[lo]) / h;
    const double w = (spot - S[lo]) / (S[lo + 1] - S[lo]);

    OptionResult out;
    out.price = value.value_at(spot);
    out.greeks.delta = (6.0 * (t * t - t) * y[lo] + h * (3.0 * t * t - 4.0 * t + 1.0) * m[lo] +
                        6.0 * (t - t * t) * y[lo + 1] + h * (3.0 * t * t - 2.0 * t) * m[lo + 1]) /
                       h;
    out.greeks.gamma = (1.0 - w) * M[lo] + w * M[lo + 1];
    out.greeks.theta = -std::get<MonotoneCubic>(theta_fit).value_at(spot);
    return out;
}

NeumannStandard neumann_operator(const ProcessParams& params, const FdmGrid& grid, TridiagonalOperator& op,
                                 BoundarySlopes slopes) {
    rebuild_with_neumann_rows(params, grid, op);
    return NeumannStandard(grid, slopes);
}

// Grid, operator, boundary, scheme and workspace of one solve; the members
// refer to each other, so a Solver stays where it is built.
template <class Scheme>
struct Solver {
    ProcessParams params;
    BoundarySlopes slopes;
    FdmGrid grid;
    TridiagonalOperator op;
    NeumannStandard boundary;
    Scheme scheme;
    StepWorkspace ws;
    TrBdf2<Scheme> stepper;

    Solver(OptionType type, double strike, double T, const FdmConfig& settings, const FdmMarket& market)
        : params{market.rate, market.carry, market.vol},
          slopes(boundary_slopes(type)),
          grid(build_uniform_grid(settings, strike, market.vol, T)),
          op(grid.size()),
          boundary(neumann_operator(params, grid, op, slopes)),
          scheme(grid, op, strike, type),
          ws(grid.size()),
          stepper(op, boundary, scheme, ws) {}
    Solver(const Solver&) = delete;
    Solver& operator=(const Solver&) = delete;

    // The payoff as the state, before the first run.
    void ensure_state() {
        if (ws.has_state()) return;
        const StageVectors st = ws.state();
        scheme.create(st.u, st.F);
        ws.mark_state_created();
    }
};

template <class Scheme>
Outcome<OptionResult> march(OptionType type, double strike, double T, std::span<const DividendAt> dividends,
                            const FdmConfig& settings, const FdmMarket& market, CancelCheck cancel) {
    const std::vector<Jump> jumps = dividend_jumps(dividends, T);
    Solver<Scheme> solver(type, strike, T, settings, market);
    FdmGrid& grid = solver.grid;
    StepWorkspace& ws = solver.ws;
    CancelBudget budget(cancel);

    // Stop times: the jump times in descending order, then the valuation
    // date.  An interval of no positive length (T <= 0 or NaN) is skipped.
    double t_cur = T;
    for (std::size_t k = 0; k <= jumps.size(); ++k) {
        const double s = k < jumps.size() ? jumps[k].time : 0.0;
        if (!(t_cur - s > 0.0)) continue;
        const double length = t_cur - s;
        const std::uint64_t n = steps_for_interval(length, T, settings.time_steps);
        const double dt = length / static_cast<double>(n);
        solver.ensure_state();
        if (!solver.stepper.run(n, dt, budget)) return Error::cancelled();
        t_cur = s;
        if (k == jumps.size()) continue;
        const double amount = jumps[k].amount;
        if (!(amount > 0.0)) continue;
        grid.shift_in_place(amount);
        solver.boundary = neumann_operator(solver.params, grid, solver.op, solver.slopes);
        const StageVectors st = ws.state();
        solver.scheme.after_dividend(st.u, st.F);
        if (budget.spend(grid.size())) return Error::cancelled();
    }

    if (!ws.has_state()) return Error::panic("Solver never ran");
    return read_off(grid, ws.state(), market.spot);
}

// march without dividends for lanes of positive, finite T: one interval of
// steps_for_interval(T, T, time_steps) steps (the same count for every
// lane), each step's two implicit solves done for all lanes together.
template <class Scheme>
void march_lanes(std::span<const FdmLane> lanes, const FdmConfig& settings, CancelCheck cancel,
                 std::span<std::optional<Outcome<OptionResult>>> out) {
    const std::size_t count = lanes.size();
    std::array<std::unique_ptr<Solver<Scheme>>, kMaxLanes> solver;
    std::array<double, kMaxLanes> dt{};
    std::array<std::uint64_t, kMaxLanes> steps{};
    for (std::size_t k = 0; k < count; ++k) {
        const FdmLane& lane = lanes[k];
        solver[k] = std::make_unique<Solver<Scheme>>(lane.type, lane.strike, lane.T, settings, lane.market);
        const double length = lane.T - 0.0;
        steps[k] = steps_for_interval(length, lane.T, settings.time_steps);
        dt[k] = length / static_cast<double>(steps[k]);
        solver[k]->ensure_state();
    }
    const std::size_t n = solver[0]->grid.size();
    CancelBudget budget(cancel);
    std::array<ImplicitSystem, kMaxLanes> systems;
    const auto solve_stage = [&](double (TrBdf2<Scheme>::*rhs)(double), std::span<double> (StepWorkspace::*target)(),
                                 void (TrBdf2<Scheme>::*solved)()) {
        for (std::size_t k = 0; k < count; ++k) {
            Solver<Scheme>& s = *solver[k];
            const double c = (s.stepper.*rhs)(dt[k]);
            systems[k] = {&s.op, c, s.ws.rhs().data(), (s.ws.*target)().data(), s.ws.sweep().data()};
        }
        solve_implicit_lanes({systems.data(), count}, n);
        for (std::size_t k = 0; k < count; ++k) (solver[k]->stepper.*solved)();
    };
    for (std::uint64_t step = 0; step < steps[0]; ++step) {
        solve_stage(&TrBdf2<Scheme>::stage1_rhs, &StepWorkspace::U1, &TrBdf2<Scheme>::stage1_solved);
        solve_stage(&TrBdf2<Scheme>::stage2_rhs, &StepWorkspace::U2, &TrBdf2<Scheme>::stage2_solved);
        if (budget.spend(count * n)) {
            for (std::size_t k = 0; k < count; ++k) out[k] = Error::cancelled();
            return;
        }
    }
    for (std::size_t k = 0; k < count; ++k) out[k] = read_off(solver[k]->grid, solver[k]->ws.state(), lanes[k].market.spot);
}

}  // namespace

Outcome<OptionResult> solve_fdm_in_years(OptionType type, ExerciseStyle style, double strike, double T,
                                         std::span<const DividendAt> dividends, const FdmConfig& settings,
                                         const FdmMarket& market, CancelCheck cancel) {
    if (settings.grid_nodes < 3) {
        return Error::panic("TridiagonalOperator requires at least 3 elements, found " +
                            std::to_string(settings.grid_nodes));
    }
    ensure_solve_fits(settings.grid_nodes);
    if (style == ExerciseStyle::American) {
        return march<PostProjectionScheme>(type, strike, T, dividends, settings, market, cancel);
    }
    return march<LinearScheme>(type, strike, T, dividends, settings, market, cancel);
}

void solve_fdm_lanes(ExerciseStyle style, std::span<const FdmLane> lanes, const FdmConfig& settings,
                     CancelCheck cancel, std::span<std::optional<Outcome<OptionResult>>> out) {
    // Lanes that the single march would not step (no grid, no positive
    // finite life) take that path and its answer.
    std::array<FdmLane, kMaxLanes> group;
    std::array<std::size_t, kMaxLanes> where{};
    std::size_t count = 0;
    for (std::size_t k = 0; k < lanes.size(); ++k) {
        const FdmLane& lane = lanes[k];
        if (settings.grid_nodes >= 3 && lane.T > 0.0 && std::isfinite(lane.T) && count < kMaxLanes) {
            group[count] = lane;
            where[count++] = k;
        } else {
            out[k] = solve_fdm_in_years(lane.type, style, lane.strike, lane.T, {}, settings, lane.market, cancel);
        }
    }
    if (count == 0) return;
    ensure_solve_fits(settings.grid_nodes);
    std::array<std::optional<Outcome<OptionResult>>, kMaxLanes> results;
    const std::span<const FdmLane> grouped(group.data(), count);
    const std::span<std::optional<Outcome<OptionResult>>> into(results.data(), count);
    if (style == ExerciseStyle::American) {
        march_lanes<PostProjectionScheme>(grouped, settings, cancel, into);
    } else {
        march_lanes<LinearScheme>(grouped, settings, cancel, into);
    }
    for (std::size_t i = 0; i < count; ++i) out[where[i]] = std::move(results[i]);
}

Outcome<OptionResult> solve_fdm(const VanillaOption& option, std::span<const Dividend> dividends,
                                const Instant& valuation, const FdmConfig& settings, const FdmMarket& market,
                                CancelCheck cancel) {
    std::vector<DividendAt> in_years;
    in_years.reserve(dividends.size());
    for (const Dividend& d : dividends) in_years.push_back({act365_years(valuation, d.ex_date), d.amount});
    return solve_fdm_in_years(option.type, option.style, option.strike, option.years_to_expiry(valuation),
                              in_years, settings, market, cancel);
}

}  // namespace zub
