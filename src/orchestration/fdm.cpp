#include "orchestration/fdm.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
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
#include "orchestration/memory_limit.hpp"

namespace zub {

namespace {

struct Jump {
    double time;
    double amount;
};

// One jump per distinct dividend time inside (0, T), latest first: the sum
// of the positive amounts at that time (zero when there are none, so the
// time still stops the march).
// `inside` is scratch; both vectors keep their capacity.
void dividend_jumps(std::span<const DividendAt> dividends, double T, std::vector<Jump>& jumps,
                    std::vector<Jump>& inside) {
    inside.clear();
    jumps.clear();
    for (const DividendAt& d : dividends) {
        if (d.time > 0.0 && d.time < T) inside.push_back({d.time, d.amount});
    }
    std::stable_sort(inside.begin(), inside.end(), [](const Jump& a, const Jump& b) { return a.time > b.time; });
    for (const Jump& d : inside) {
        if (jumps.empty() || jumps.back().time != d.time) jumps.push_back({d.time, 0.0});
        if (d.amount > 0.0) jumps.back().amount += d.amount;
    }
}

Error spline_error(InterpolationError e) {
    return Error::panic(std::string("Spline failed in continuation region: ") + to_string(e));
}

// What the price is read off: the node values, or (American) their excess
// over the exercise value (S - K) phi, which is zero over the exercise
// region, so that the monotone cubic cannot dip below the exercise value
// where the region ends.
struct ReadOff {
    double strike = 0.0;
    double phi = 0.0;  // 0: the node values themselves
};

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
    void prepare(OptionType type, double strike, double T, const FdmConfig& settings, const MarketPoint& market,
                 NodeParts* kept) {
        params = market;
        slopes = boundary_slopes(type);
        build_uniform_grid(grid, settings, strike, market.vol, T, market.spot, kept);
        boundary = rebuild_operator(params, grid, op, slopes);
        scheme.reset(strike, type);
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
    std::vector<DividendAt> dividends;  // solve_fdm's, in years
    std::vector<Jump> jumps;
    std::vector<Jump> inside;

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

namespace {

// What the solves of one call share: the cancellation check, and the
// buffers of the caller's workspace (none: each solve allocates its own).
struct SolveContext {
    CancelCheck cancel;
    FdmLaneWorkspace::Buffers* buffers = nullptr;
};

template <class Scheme>
Outcome<OptionResult> march(OptionType type, double strike, double T, std::span<const DividendAt> dividends,
                            const FdmConfig& settings, const MarketPoint& market, const SolveContext& context,
                            ReadOff how) {
    FdmLaneWorkspace::Buffers own;
    FdmLaneWorkspace::Buffers& buffers = context.buffers != nullptr ? *context.buffers : own;
    buffers.fit(static_cast<std::size_t>(settings.grid_nodes));
    std::unique_ptr<Solver<Scheme>>& kept = buffers.solvers<Scheme>()[0];
    if (!kept) kept = std::make_unique<Solver<Scheme>>(buffers.nodes);
    Solver<Scheme>& solver = *kept;
    // A solve's own buffers keep nothing for another.
    solver.prepare(type, strike, T, settings, market, context.buffers != nullptr ? &buffers.node_parts : nullptr);
    CancelBudget budget(context.cancel);

    // Stop times, latest first, then the valuation date (no jump there).
    dividend_jumps(dividends, T, buffers.jumps, buffers.inside);
    double t_cur = T;
    const auto advance = [&](const Jump& stop) {
        const double length = t_cur - stop.time;
        if (!(length > 0.0)) return true;  // no time to step: T <= 0 or NaN
        const std::uint64_t n = steps_for_interval(length, T, settings.time_steps);
        const double dt = length / static_cast<double>(n);
        solver.ensure_state();
        if (!solver.stepper.run(n, dt, budget)) return false;
        t_cur = stop.time;
        if (stop.amount > 0.0) {
            solver.after_dividend(stop.amount);
            if (budget.spend(solver.grid.size())) return false;
        }
        return true;
    };
    for (const Jump& stop : buffers.jumps) {
        if (!advance(stop)) return Error::cancelled();
    }
    if (!advance({0.0, 0.0})) return Error::cancelled();

    if (!solver.ws.has_state()) return Error::panic("Solver never ran");
    std::optional<Outcome<OptionResult>> out;
    const ReadOffLane lane{&solver.grid, solver.ws.state(), market.spot, how, &buffers.read_off[0]};
    read_off({&lane, 1}, {&out, 1});
    return std::move(*out);
}

// The option on its own strike-centred grid, by the scheme of its exercise
// style.
Outcome<OptionResult> solve_on_grid(OptionType type, ExerciseStyle style, double strike, double T,
                                    std::span<const DividendAt> dividends, const FdmConfig& settings,
                                    const MarketPoint& market, const SolveContext& context, ReadOff how = {}) {
    if (style == ExerciseStyle::American) {
        return march<PostProjectionScheme>(type, strike, T, dividends, settings, market, context, how);
    }
    return march<LinearScheme>(type, strike, T, dividends, settings, market, context, how);
}

// A call's value grows like the spot, and the strike-centred grid resolves
// that part poorly where it is sparse: far above the strike, which the
// domain reaches as sigma sqrt(T) grows (the error grows like sigma^2), and
// where the exercise boundary of a call with a high carry lies.  The
// mirror-image put P(K, S; q, r), with spot and strike swapped and rate and
// carry swapped, has exactly the call's value C(S, K; r, q), American or
// European, when no cash dividend intervenes; its value is bounded where the
// call's grows.  A call is priced as the blend (1 - w) C + w P of the two
// solves, w rising smoothly, so that prices stay continuous:
// - with sigma sqrt(T) from 1 (w = 0: the call's own grid, as before) to 2
//   (w = 1), which keeps prices increasing in sigma;
// - for an American call that may be exercised early, with the carry q from
//   r / 2 (w = 0) to 3r / 4 (w = 1): the higher the carry, the more of its
//   early-exercise premium the call's own grid loses, while the put's first
//   step errs where its rate q is small; with r <= 0 < q, w = 1.
// The two weights combine as 1 - (1 - w_sigma)(1 - w_carry).  An American
// call that is never exercised early (q <= 0 <= r) is priced as the
// European one.
constexpr double kMirrorFromSpread = 1.0;
constexpr double kMirrorOnlySpread = 2.0;

// 0 below 0, 1 above 1, 3t^2 - 2t^3 between; NaN gives 0.
double smoothstep(double t) noexcept {
    if (!(t > 0.0)) return 0.0;
    if (t >= 1.0) return 1.0;
    return t * t * (3.0 - 2.0 * t);
}

double mirror_weight_for_spread(double sigma, double T) noexcept {
    return smoothstep((sigma * std::sqrt(T) - kMirrorFromSpread) / (kMirrorOnlySpread - kMirrorFromSpread));
}

double mirror_weight_for_carry(double r, double q) noexcept {
    if (r > 0.0) return smoothstep((q - 0.5 * r) / (0.25 * r));
    return q > 0.0 ? 1.0 : 0.0;
}

bool has_cash_dividend(std::span<const DividendAt> dividends, double T) noexcept {
    return std::any_of(dividends.begin(), dividends.end(),
                       [T](const DividendAt& d) { return d.amount > 0.0 && d.time > 0.0 && d.time < T; });
}

// How a call is solved: the scheme it steps by (an American call never
// exercised early takes the European one) and the weights of its own
// grid's solve (keep) and of the mirror's (w = 1 - keep).  Without the
// symmetry (a cash dividend inside the life, or inputs that are not finite
// and positive) only its own grid, by its own style.
struct CallPlan {
    ExerciseStyle style;
    double keep = 1.0;
    double w = 0.0;
};

CallPlan plan_call(ExerciseStyle style, double strike, double T, std::span<const DividendAt> dividends,
                   const MarketPoint& market) noexcept {
    const bool finite = std::isfinite(market.rate) && std::isfinite(market.carry) && std::isfinite(market.vol);
    const bool symmetric = finite && market.spot > 0.0 && std::isfinite(market.spot) && strike > 0.0 &&
                           std::isfinite(strike) && !has_cash_dividend(dividends, T);
    if (!symmetric) return {style};
    if (market.carry <= 0.0 && market.rate >= 0.0) style = ExerciseStyle::European;
    const bool american = style == ExerciseStyle::American;
    const double w_carry = american ? mirror_weight_for_carry(market.rate, market.carry) : 0.0;
    const double keep = (1.0 - mirror_weight_for_spread(market.vol, T)) * (1.0 - w_carry);
    return {style, keep, 1.0 - keep};
}

// The mirror-image put of a call: strike and spot swapped, rate and carry
// swapped.  An American put is read off its excess over the exercise value
// (puts priced as themselves keep the plain read-off).
MarketPoint mirror_market(double strike, const MarketPoint& market) noexcept {
    return {.spot = strike, .vol = market.vol, .rate = market.carry, .carry = market.rate};
}

ReadOff mirror_read_off(ExerciseStyle style, const MarketPoint& market) noexcept {
    return {market.spot, style == ExerciseStyle::American ? -1.0 : 0.0};
}

// The call from its mirror-image put solved at spot K: C = P and theta
// alike; by homogeneity of degree one in (spot, strike), delta (P - K dP/dK)/S
// and gamma (K/S)^2 d2P/dK2, the put's derivatives being in its spot K.
void call_from_mirror(OptionResult& out, double strike, double spot) noexcept {
    const double ratio = strike / spot;
    out.greeks.delta = out.price / spot - ratio * out.greeks.delta;
    out.greeks.gamma *= ratio * ratio;
}

Outcome<OptionResult> call_through_mirror(ExerciseStyle style, double strike, double T,
                                          std::span<const DividendAt> dividends, const FdmConfig& settings,
                                          const MarketPoint& market, const SolveContext& context) {
    Outcome<OptionResult> out = solve_on_grid(OptionType::Put, style, market.spot, T, dividends, settings,
                                              mirror_market(strike, market), context, mirror_read_off(style, market));
    if (out) call_from_mirror(*out, strike, market.spot);
    return out;
}

Outcome<OptionResult> solve_call(ExerciseStyle style, double strike, double T, std::span<const DividendAt> dividends,
                                 const FdmConfig& settings, const MarketPoint& market, const SolveContext& context) {
    const CallPlan plan = plan_call(style, strike, T, dividends, market);
    style = plan.style;
    const double keep = plan.keep;
    const double w = plan.w;
    if (w == 0.0) return solve_on_grid(OptionType::Call, style, strike, T, dividends, settings, market, context);
    Outcome<OptionResult> put = call_through_mirror(style, strike, T, dividends, settings, market, context);
    if (w == 1.0 || !put) return put;
    Outcome<OptionResult> own = solve_on_grid(OptionType::Call, style, strike, T, dividends, settings, market, context);
    if (!own) return own;
    OptionResult out;
    out.price = keep * own->price + w * put->price;
    out.greeks.delta = keep * own->greeks.delta + w * put->greeks.delta;
    out.greeks.gamma = keep * own->greeks.gamma + w * put->greeks.gamma;
    out.greeks.theta = keep * own->greeks.theta + w * put->greeks.theta;
    return out;
}

// march without dividends for lanes of positive, finite T: one interval of
// steps_for_interval(T, T, time_steps) steps (the same count for every
// lane), each step's two implicit solves done for all lanes together.
template <class Scheme>
void march_lanes(std::span<const FdmLane> lanes, std::span<const ReadOff> how, const FdmConfig& settings,
                 CancelCheck cancel, std::span<std::optional<Outcome<OptionResult>>> out,
                 FdmLaneWorkspace::Buffers& buffers) {
    const std::size_t count = lanes.size();
    auto& solver = buffers.solvers<Scheme>();
    std::array<double, kMaxLanes> dt{};
    std::array<std::uint64_t, kMaxLanes> steps{};
    for (std::size_t k = 0; k < count; ++k) {
        const FdmLane& lane = lanes[k];
        if (!solver[k]) solver[k] = std::make_unique<Solver<Scheme>>(buffers.nodes);
        solver[k]->prepare(lane.type, lane.strike, lane.T, settings, lane.market, &buffers.node_parts);
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
            systems[k] = {&s.op, c, s.ws.rhs().data(), (s.ws.*target)().data()};
        }
        solve_implicit_lanes({systems.data(), count}, n, buffers.interleaved);
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
    std::array<ReadOffLane, kMaxLanes> read;
    for (std::size_t k = 0; k < count; ++k) {
        read[k] = {&solver[k]->grid, solver[k]->ws.state(), lanes[k].market.spot, how[k], &buffers.read_off[k]};
    }
    read_off({read.data(), count}, out);
}

// The one grid solve by which solve_fdm_in_years prices an option without
// dividends, and what is done to its result: a call may be solved as its
// mirror-image put, and an American call that is never exercised early by
// the European scheme.  None when it takes two solves (a blended call).
struct LanePlan {
    FdmLane solve;
    ExerciseStyle scheme;
    ReadOff how;
    bool mirror = false;
};

std::optional<LanePlan> plan_lane(const FdmLane& lane) {
    if (lane.type == OptionType::Put) return LanePlan{lane, lane.style, {}};
    const CallPlan plan = plan_call(lane.style, lane.strike, lane.T, {}, lane.market);
    if (plan.w == 0.0) return LanePlan{lane, plan.style, {}};
    if (plan.w != 1.0) return std::nullopt;
    const FdmLane put{OptionType::Put, plan.style, lane.market.spot, lane.T, mirror_market(lane.strike, lane.market)};
    return LanePlan{put, plan.style, mirror_read_off(plan.style, lane.market), true};
}

// What solve_fdm_in_years does to the solve's result (the mirror's
// transformation, then the American floor).
void finish_lane(const FdmLane& lane, const LanePlan& plan, Outcome<OptionResult>& out) {
    if (!out) return;
    if (plan.mirror) call_from_mirror(*out, lane.strike, lane.market.spot);
    if (lane.style == ExerciseStyle::American) floor_at_exercise(*out, lane.type, lane.strike, lane.market.spot);
}

}  // namespace

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

Outcome<OptionResult> solve_fdm_in_years(OptionType type, ExerciseStyle style, double strike, double T,
                                         std::span<const DividendAt> dividends, const FdmConfig& settings,
                                         const MarketPoint& market, CancelCheck cancel, FdmLaneWorkspace* workspace) {
    if (settings.grid_nodes < 3) {
        return Error::panic("TridiagonalOperator requires at least 3 elements, found " +
                            std::to_string(settings.grid_nodes));
    }
    ensure_solve_fits(settings.grid_nodes);
    const SolveContext context{
        cancel, workspace != nullptr ? &workspace->buffers_for(static_cast<std::size_t>(settings.grid_nodes)) : nullptr};
    Outcome<OptionResult> out = type == OptionType::Call
                                    ? solve_call(style, strike, T, dividends, settings, market, context)
                                    : solve_on_grid(type, style, strike, T, dividends, settings, market, context);
    if (out && style == ExerciseStyle::American) floor_at_exercise(*out, type, strike, market.spot);
    return out;
}

void solve_fdm_lanes(std::span<const FdmLane> lanes, const FdmConfig& settings, CancelCheck cancel,
                     std::span<std::optional<Outcome<OptionResult>>> out, FdmLaneWorkspace* workspace) {
    FdmLaneWorkspace local;
    FdmLaneWorkspace& ws = workspace != nullptr ? *workspace : local;
    // One group per scheme; a lane that the single path would not step on
    // one grid (no grid, no positive finite life, two solves) takes that
    // path and its answer.
    struct Group {
        std::array<FdmLane, kMaxLanes> solves;
        std::array<LanePlan, kMaxLanes> plans;
        std::array<ReadOff, kMaxLanes> how;
        std::array<std::size_t, kMaxLanes> where{};
        std::size_t count = 0;
    };
    std::array<Group, 2> groups;
    for (std::size_t k = 0; k < lanes.size(); ++k) {
        const FdmLane& lane = lanes[k];
        std::optional<LanePlan> plan;
        if (settings.grid_nodes >= 3 && lane.T > 0.0 && std::isfinite(lane.T)) plan = plan_lane(lane);
        Group* g = plan ? &groups[static_cast<std::size_t>(plan->scheme)] : nullptr;
        if (g == nullptr || g->count == kMaxLanes) {
            out[k] = solve_fdm_in_years(lane.type, lane.style, lane.strike, lane.T, {}, settings, lane.market, cancel,
                                        &ws);
            continue;
        }
        g->solves[g->count] = plan->solve;
        g->plans[g->count] = *plan;
        g->how[g->count] = plan->how;
        g->where[g->count++] = k;
    }
    for (std::size_t scheme = 0; scheme < groups.size(); ++scheme) {
        const Group& g = groups[scheme];
        if (g.count == 0) continue;
        ensure_solve_fits(settings.grid_nodes);
        FdmLaneWorkspace::Buffers& buffers = ws.buffers_for(static_cast<std::size_t>(settings.grid_nodes));
        std::array<std::optional<Outcome<OptionResult>>, kMaxLanes> results;
        const std::span<const FdmLane> solves(g.solves.data(), g.count);
        const std::span<const ReadOff> how(g.how.data(), g.count);
        const std::span<std::optional<Outcome<OptionResult>>> into(results.data(), g.count);
        if (static_cast<ExerciseStyle>(scheme) == ExerciseStyle::American) {
            march_lanes<PostProjectionScheme>(solves, how, settings, cancel, into, buffers);
        } else {
            march_lanes<LinearScheme>(solves, how, settings, cancel, into, buffers);
        }
        for (std::size_t i = 0; i < g.count; ++i) {
            finish_lane(lanes[g.where[i]], g.plans[i], *results[i]);
            out[g.where[i]] = std::move(results[i]);
        }
    }
}

Outcome<OptionResult> solve_fdm(const VanillaOption& option, std::span<const Dividend> dividends,
                                const Instant& valuation, const FdmConfig& settings, const MarketPoint& market,
                                CancelCheck cancel, FdmLaneWorkspace* workspace) {
    std::vector<DividendAt> own;
    std::vector<DividendAt>& in_years =
        workspace != nullptr ? workspace->buffers_for(static_cast<std::size_t>(settings.grid_nodes)).dividends : own;
    in_years.clear();
    for (const Dividend& d : dividends) in_years.push_back({act365_years(valuation, d.ex_date), d.amount});
    return solve_fdm_in_years(option.type, option.style, option.strike, option.years_to_expiry(valuation),
                              in_years, settings, market, cancel, workspace);
}

}  // namespace zub
