#include "orchestration/fdm_grids.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

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

Error spline_error(InterpolationError e) {
    return Error::panic(std::string("Spline failed in continuation region: ") + to_string(e));
}

// Scratch of one read-off: node spots, the values read off, and the
// spline's elimination scratch and second derivatives.
struct ReadOffBuffers {
    std::vector<double> block;

    void fit(std::size_t n) {
        if (block.size() < 4 * n) block.assign(4 * n, 0.0);
    }
    double* part(std::size_t n, std::size_t k) noexcept { return block.data() + k * n; }
};

// One grid's final state, and what to read off it where.
struct ReadOffLane {
    const FdmGrid* grid;
    StageVectors state;
    double spot;
    ReadOff how;
    ReadOffBuffers* buffers;
};

// Price, delta, gamma and theta at the spot off the final node values of up
// to kMaxLanes grids of one size: the monotone cubic through the values
// read off (price and delta off the cubic, gamma off the natural spline's
// second derivatives) and the one through the time derivatives (theta), as
// MonotoneCubic gives them, built only where they are read.  The value
// splines' curvature solves run together.
void read_off(std::span<const ReadOffLane> lanes, std::span<std::optional<Outcome<OptionResult>>> out) {
    const std::size_t n = lanes[0].grid->size();
    if (n < 3) {
        for (std::size_t k = 0; k < lanes.size(); ++k) out[k] = spline_error(InterpolationError::InsufficientPoints);
        return;
    }
    std::array<SplineCurve, kMaxLanes> curves;
    for (std::size_t k = 0; k < lanes.size(); ++k) {
        const ReadOffLane& lane = lanes[k];
        lane.buffers->fit(n);
        double* spots = lane.buffers->part(n, 0);
        double* values = lane.buffers->part(n, 1);
        for (std::size_t i = 0; i < n; ++i) spots[i] = lane.grid->spot_at_node(i);
        for (std::size_t i = 0; i < n; ++i) values[i] = lane.state.u[i];
        if (lane.how.phi != 0.0) {
            for (std::size_t i = 0; i < n; ++i) values[i] -= (spots[i] - lane.how.strike) * lane.how.phi;
        }
        curves[k] = {spots, values, lane.buffers->part(n, 2), lane.buffers->part(n, 3)};
    }
    natural_spline_curvatures({curves.data(), lanes.size()}, n);
    for (std::size_t k = 0; k < lanes.size(); ++k) {
        const ReadOffLane& lane = lanes[k];
        const SplineCurve& c = curves[k];
        const std::size_t lo = locate_interval({c.x, n}, lane.spot);
        const double h = c.x[lo + 1] - c.x[lo];
        const double t = (lane.spot - c.x[lo]) / h;
        const HermitePiece value{h, t, c.y[lo], c.y[lo + 1], filtered_slope(c.x, c.y, c.M, n, lo),
                                 filtered_slope(c.x, c.y, c.M, n, lo + 1)};
        OptionResult r;
        r.price = value.value();
        r.greeks.delta = value.derivative();
        r.greeks.gamma = (1.0 - t) * c.M[lo] + t * c.M[lo + 1];
        // The theta cubic's slopes need its own second derivatives only at
        // an end piece.
        const double* F = lane.state.F.data();
        if (lo == 0 || lo + 2 == n) {
            const SplineCurve theta_curve{c.x, F, c.c, c.M};
            natural_spline_curvatures({&theta_curve, 1}, n);
        }
        const HermitePiece theta{h, t, F[lo], F[lo + 1], filtered_slope(c.x, F, c.M, n, lo),
                                 filtered_slope(c.x, F, c.M, n, lo + 1)};
        r.greeks.theta = -theta.value();
        if (lane.how.phi != 0.0) {
            r.price += (lane.spot - lane.how.strike) * lane.how.phi;
            r.greeks.delta += lane.how.phi;
        }
        out[k] = r;
    }
}

// Grid, operator, boundary, scheme and workspace of one solve on a grid of a
// given node count; the members refer to each other, so a Solver stays
// where it is built.  prepare() sets it up for an option, as often as
// needed: the buffers are kept.
template <class Scheme>
struct Solver {
    MarketPoint params;  // the operator reads rate, carry and vol
    BoundarySlopes slopes;
    FdmGrid grid;
    TridiagonalOperator op;
    NeumannStandard boundary;
    Scheme scheme;
    StepWorkspace ws;
    TrBdf2<Scheme> stepper;

    explicit Solver(std::size_t nodes)
        : slopes(boundary_slopes(OptionType::Put)),
          grid(GridKind::Uniform, Transform{}, nodes),
          op(nodes),
          boundary(grid, slopes),
          scheme(grid, op, 0.0, OptionType::Put),
          ws(nodes),
          stepper(op, boundary, scheme, ws) {}
    Solver(const Solver&) = delete;
    Solver& operator=(const Solver&) = delete;

    // The option's grid, operator, boundary and scheme; no state yet.
    void prepare(const GridSolve& solve, const FdmConfig& settings, NodeParts* kept) {
        params = solve.market;
        slopes = boundary_slopes(solve.type);
        build_uniform_grid(grid, settings, solve.strike, solve.grid_vol, solve.T, solve.market.spot, kept);
        boundary = rebuild_operator(params, grid, op, slopes);
        scheme.reset(solve.strike, solve.type);
        ws.forget_state();
    }

    static NeumannStandard rebuild_operator(const MarketPoint& params, const FdmGrid& grid, TridiagonalOperator& op,
                                            BoundarySlopes slopes) {
        rebuild_with_neumann_rows(params, grid, op);
        return NeumannStandard(grid, slopes);
    }

    // The payoff as the state, before the first run.
    void ensure_state() {
        if (ws.has_state()) return;
        const StageVectors st = ws.state();
        scheme.create(st.u, st.F);
        ws.mark_state_created();
    }

    // The jump of a cash dividend: grid shifted, operator rebuilt, state
    // carried across.
    void after_dividend(double amount) {
        grid.shift_in_place(amount);
        boundary = rebuild_operator(params, grid, op, slopes);
        const StageVectors st = ws.state();
        scheme.after_dividend(st.u, st.F);
    }
};

}  // namespace

// Solvers of each scheme and read-off buffers, for grids of `nodes` nodes.
struct FdmLaneWorkspace::Buffers {
    std::size_t nodes = 0;
    std::array<std::unique_ptr<Solver<PostProjectionScheme>>, kMaxLanes> american;
    std::array<std::unique_ptr<Solver<LinearScheme>>, kMaxLanes> european;
    std::array<ReadOffBuffers, kMaxLanes> read_off;
    InterleavedFactors interleaved;
    // Shared by the grids of consecutive solves.
    NodeParts node_parts;

    template <class Scheme>
    auto& solvers() noexcept {
        if constexpr (std::is_same_v<Scheme, PostProjectionScheme>) {
            return american;
        } else {
            return european;
        }
    }
    PlanScratch plan;

    // Ready for grids of n nodes: solvers of another size are dropped.
    void fit(std::size_t n) {
        if (n == nodes) return;
        for (auto& s : american) s.reset();
        for (auto& s : european) s.reset();
        nodes = n;
    }
};

FdmLaneWorkspace::Buffers& FdmLaneWorkspace::buffers_for(std::size_t nodes) {
    if (!buffers_) buffers_ = std::make_unique<Buffers>();
    buffers_->fit(nodes);
    return *buffers_;
}

PlanScratch& plan_scratch(FdmLaneWorkspace::Buffers& buffers) noexcept { return buffers.plan; }

namespace {

// The grid solves of one scheme marching together through the stops
// `jumps` (latest first), then to the valuation date: each interval in
// steps_for_interval steps of its own length (the same count for every
// lane: a group of more than one has no stops), a lone solve stepping by
// itself, a group's two implicit solves per step done in one loop.
template <class Scheme>
void march(std::span<const GridSolve> solves, std::span<const Jump> jumps, const FdmConfig& settings,
           const SolveContext& context, FdmLaneWorkspace::Buffers& buffers, std::span<std::optional<Outcome<OptionResult>>> out) {
    const std::size_t count = solves.size();
    auto& solver = buffers.solvers<Scheme>();
    // A call's own buffers keep nothing for another.
    NodeParts* kept = context.buffers != nullptr ? &buffers.node_parts : nullptr;
    for (std::size_t k = 0; k < count; ++k) {
        if (!solver[k]) solver[k] = std::make_unique<Solver<Scheme>>(buffers.nodes);
        solver[k]->prepare(solves[k], settings, kept);
    }
    const std::size_t n = solver[0]->grid.size();
    CancelBudget budget(context.cancel);
    const auto cancelled = [&] {
        for (std::size_t k = 0; k < count; ++k) out[k] = Error::cancelled();
    };

    std::array<ImplicitSystem, kMaxLanes> systems;
    std::array<double, kMaxLanes> dt{};
    const auto solve_stage = [&](double (TrBdf2<Scheme>::*rhs)(double), std::span<double> (StepWorkspace::*target)(),
                                 void (TrBdf2<Scheme>::*solved)()) {
        for (std::size_t k = 0; k < count; ++k) {
            Solver<Scheme>& s = *solver[k];
            const double c = (s.stepper.*rhs)(dt[k]);
            systems[k] = {&s.op, c, s.ws.rhs().data(), (s.ws.*target)().data()};
        }
        solve_implicit_lanes({systems.data(), count}, n, buffers.interleaved);
        for (std::size_t k = 0; k < count; ++k) (solver[k]->stepper.*solved)();
    };
    // Stops, then the valuation date (no jump there).
    std::array<double, kMaxLanes> t_cur{};
    for (std::size_t k = 0; k < count; ++k) t_cur[k] = solves[k].T;
    const auto advance = [&](const Jump& stop) {
        const double T = solves[0].T;
        const double length = t_cur[0] - stop.time;
        if (!(length > 0.0)) return true;  // no time to step: T <= 0 or NaN
        const std::uint64_t steps = steps_for_interval(length, T, settings.time_steps);
        for (std::size_t k = 0; k < count; ++k) {
            dt[k] = (t_cur[k] - stop.time) / static_cast<double>(steps);
            solver[k]->ensure_state();
        }
        for (std::uint64_t step = 0; step < steps; ++step) {
            if (count == 1) {
                solver[0]->stepper.step(dt[0]);
            } else {
                solve_stage(&TrBdf2<Scheme>::stage1_rhs, &StepWorkspace::U1, &TrBdf2<Scheme>::stage1_solved);
                solve_stage(&TrBdf2<Scheme>::stage2_rhs, &StepWorkspace::U2, &TrBdf2<Scheme>::stage2_solved);
            }
            if (budget.spend(count * n)) return false;
        }
        for (std::size_t k = 0; k < count; ++k) t_cur[k] = stop.time;
        if (stop.amount > 0.0) {
            solver[0]->after_dividend(stop.amount);
            if (budget.spend(n)) return false;
        }
        return true;
    };
    for (const Jump& stop : jumps) {
        if (!advance(stop)) return cancelled();
    }
    if (!advance({0.0, 0.0})) return cancelled();

    if (!solver[0]->ws.has_state()) {
        for (std::size_t k = 0; k < count; ++k) out[k] = Error::panic("Solver never ran");
        return;
    }
    std::array<ReadOffLane, kMaxLanes> read;
    for (std::size_t k = 0; k < count; ++k) {
        read[k] = {&solver[k]->grid, solver[k]->ws.state(), solves[k].market.spot, solves[k].how,
                   &buffers.read_off[k]};
    }
    read_off({read.data(), count}, out);
}

}  // namespace

void solve_grids(std::span<const GridSolve> solves, std::span<const Jump> jumps, const FdmConfig& settings,
                 const SolveContext& context, std::span<std::optional<Outcome<OptionResult>>> out) {
    FdmLaneWorkspace::Buffers own;
    FdmLaneWorkspace::Buffers& buffers = context.buffers != nullptr ? *context.buffers : own;
    buffers.fit(static_cast<std::size_t>(settings.grid_nodes));
    if (solves[0].scheme == ExerciseStyle::American) {
        march<PostProjectionScheme>(solves, jumps, settings, context, buffers, out);
    } else {
        march<LinearScheme>(solves, jumps, settings, context, buffers, out);
    }
}

FdmLaneWorkspace::FdmLaneWorkspace() = default;
FdmLaneWorkspace::~FdmLaneWorkspace() = default;

std::size_t FdmLaneWorkspace::bytes() const noexcept {
    if (!buffers_) return 0;
    // Per solver: grid 6n, operator 3n and its factors 3n, stepping 8n;
    // per read-off 4n; the interleaved factors 4n per lane; the node parts
    // of up to 32 grids, 256 KiB at most unless one grid takes more.
    std::size_t solvers = 0;
    for (const auto& s : buffers_->american) solvers += s ? 1U : 0U;
    for (const auto& s : buffers_->european) solvers += s ? 1U : 0U;
    std::size_t doubles = solvers * 20 * buffers_->nodes;
    for (const ReadOffBuffers& r : buffers_->read_off) doubles += r.block.size();
    return doubles * sizeof(double) + buffers_->interleaved.bytes() + buffers_->node_parts.bytes();
}

void FdmLaneWorkspace::release() noexcept { buffers_.reset(); }

}  // namespace zub
