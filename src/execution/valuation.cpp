#include "execution/valuation.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "execution/root_search.hpp"
#include "math/implied_black.hpp"
#include "orchestration/analytic.hpp"
#include "orchestration/exercise_boundary.hpp"
#include "orchestration/fdm.hpp"

namespace zub {

const ConfigTable& ConfigTable::defaults() noexcept {
    static const ConfigTable table = [] {
        ConfigTable t;
        t.slots[slot_index(ExerciseStyle::American, OptionType::Call)].kind = PricingMethod::Kind::Fdm;
        t.slots[slot_index(ExerciseStyle::American, OptionType::Put)].kind = PricingMethod::Kind::Fdm;
        return t;
    }();
    return table;
}

namespace {

const FdmConfig kDefaultFdm{};

// Everything about the market that does not depend on the volatility.
struct Inputs {
    double T;
    MarketPoint market;  // vol left 0: each pricing sets its own
};

Error expired() {
    return Error::value(Reason::Expired, "Option has expired: the valuation time is at or after expiry");
}

// S, r and q of an option living T years (vol left 0).
MarketPoint point_at(const MarketRecord& market, double T, std::optional<double> spot) noexcept {
    const double r = market.rate_curve.zero_rate(T);
    const double q = market.borrow_curve ? market.borrow_curve->zero_rate(T) : 0.0;
    return MarketPoint{.spot = spot.value_or(market.spot), .rate = r, .carry = q};
}

// The time to one expiry, its rates and, once the closed form asks for
// them, the closed form's factors: worked out once for the neighbours of a
// block that share the expiry.
class ExpiryRates {
public:
    // Moves to an option living T years on `market` (rates only when T > 0).
    void move_to(const MarketRecord& market, const Instant& valuation, const Instant& expiry) {
        const double T = act365_years(valuation, expiry);
        if (T == T_) return;
        T_ = T;
        vol_ = market.vol_surface.slice(market.vol_surface.horizon(valuation, expiry, T));
        closed_.reset();
        if (T > 0.0) rates_ = point_at(market, T, std::nullopt);
    }
    double T() const noexcept { return T_; }
    const VolSlice& vol() const noexcept { return vol_; }
    // The market point at `spot` and `vol` (valid for T > 0).
    MarketPoint point(double spot, double vol) const noexcept {
        return MarketPoint{.spot = spot, .vol = vol, .rate = rates_.rate, .carry = rates_.carry};
    }
    const Horizon& closed_form() noexcept {
        if (!closed_) closed_ = horizon(T_, rates_.rate, rates_.carry);
        return *closed_;
    }

private:
    double T_ = std::numeric_limits<double>::quiet_NaN();
    VolSlice vol_;
    MarketPoint rates_;
    std::optional<Horizon> closed_;
};

// T, S, r and q at the valuation instant; an option at or past expiry (or with
// a time to expiry that is not a number) cannot be priced by either engine.
Outcome<Inputs> gather_inputs(const VanillaOption& option, const MarketRecord& market, const Instant& valuation,
                              std::optional<double> spot) {
    const double T = option.years_to_expiry(valuation);
    if (!(T > 0.0)) return expired();
    return Inputs{T, point_at(market, T, spot)};
}

MarketPoint with_vol(MarketPoint m, double sigma) noexcept {
    m.vol = sigma;
    return m;
}

const FdmConfig& fdm_settings(const PricingMethod& method) noexcept {
    return method.fdm ? *method.fdm : kDefaultFdm;
}

bool valid_tolerance(double tolerance) noexcept { return std::isfinite(tolerance) && tolerance > 0.0; }

// The exercise-boundary method's tolerance, or the error refusing it.
Outcome<double> boundary_tolerance(const PricingMethod& method) {
    const double tolerance = method.tolerance.value_or(kDefaultBoundaryTolerance);
    if (valid_tolerance(tolerance)) return tolerance;
    return Error::value("Exercise-boundary tolerance must be finite and positive, got " + format_shortest(tolerance));
}

Error invalid(const char* what, double value) {
    return Error::value(Reason::InvalidInput, std::string(what) + format_shortest(value));
}

// The inputs no price can be made of: a strike or spot that is not finite
// and positive, rates that are not finite, and (with `vol`) a volatility
// that is not finite and positive.
std::optional<Error> invalid_input(double strike, const MarketPoint& p, bool vol) {
    if (!(std::isfinite(strike) && strike > 0.0)) return invalid("strike must be finite and positive, got ", strike);
    if (!(std::isfinite(p.spot) && p.spot > 0.0)) return invalid("spot must be finite and positive, got ", p.spot);
    if (vol && !(std::isfinite(p.vol) && p.vol > 0.0)) {
        return invalid("volatility must be finite and positive, got ", p.vol);
    }
    if (!std::isfinite(p.rate)) return invalid("rate at expiry must be finite, got ", p.rate);
    if (!std::isfinite(p.carry)) return invalid("borrow rate at expiry must be finite, got ", p.carry);
    return std::nullopt;
}

// How the exercise-boundary method prices an option: the closed form for a
// European one (exact for it), else the boundary; finite differences on the
// default grid for an American one with a cash dividend inside its life, or
// whose exercise region is a band between two boundaries (a put with
// q < r < 0, a call with r < q < 0), which the boundary solve does not price.
enum class BoundaryRoute : uint8_t { ClosedForm, Grid, Boundary };

BoundaryRoute boundary_route(const VanillaOption& option, std::span<const DividendAt> dividends, double T,
                             const MarketPoint& m) noexcept {
    if (option.style == ExerciseStyle::European) return BoundaryRoute::ClosedForm;
    const bool band = option.type == OptionType::Put ? m.carry < m.rate && m.rate < 0.0
                                                     : m.rate < m.carry && m.carry < 0.0;
    return cash_dividend_inside(dividends, T) || band ? BoundaryRoute::Grid : BoundaryRoute::Boundary;
}

// value_option after the day-count check, for an option living at.T()
// years on `dividends` (in years): nullptr with the outcome in `out` when no
// finite-difference solve is needed, else that solve's settings, its
// market in `point`.
const FdmConfig* prepare_value(const VanillaOption& option, const MarketRecord& market, const ConfigTable& config,
                               ExpiryRates& at, const MarketOverrides& overrides,
                               std::span<const DividendAt> dividends, std::optional<Outcome<OptionResult>>& out,
                               MarketPoint& point) {
    const double T = at.T();
    if (!(T > 0.0)) {
        out.emplace(expired());
        return nullptr;
    }
    point = at.point(overrides.spot.value_or(market.spot),
                     overrides.vol ? *overrides.vol : VolSurface::volatility(at.vol(), option.strike));
    if (overrides.refuse_invalid_inputs) {
        if (auto bad = invalid_input(option.strike, point, true)) {
            out.emplace(std::move(*bad));
            return nullptr;
        }
    }

    const PricingMethod& method = config.slot(option.style, option.type);
    const bool on_grid = method.kind == PricingMethod::Kind::Fdm ||
                         (method.kind == PricingMethod::Kind::ExerciseBoundary &&
                          boundary_route(option, dividends, T, point) == BoundaryRoute::Grid);
    if (on_grid && config.fdm_vega_rho_bump) {
        const double bump = *config.fdm_vega_rho_bump;
        if (!(std::isfinite(bump) && bump > 0.0)) {
            out.emplace(Error::value("Finite-difference vega and rho bump must be finite and positive, got " +
                                     format_shortest(bump)));
            return nullptr;
        }
    }
    if (method.kind == PricingMethod::Kind::Fdm) return &fdm_settings(method);
    if (method.kind == PricingMethod::Kind::ExerciseBoundary) {
        const Outcome<double> tolerance = boundary_tolerance(method);
        if (!tolerance) {
            out.emplace(tolerance.error());
            return nullptr;
        }
        switch (boundary_route(option, dividends, T, point)) {
            case BoundaryRoute::Grid:
                return &kDefaultFdm;
            case BoundaryRoute::Boundary:
                out.emplace(american_exercise_boundary(option.type, option.strike, T, point, *tolerance));
                return nullptr;
            case BoundaryRoute::ClosedForm:
                break;
        }
        out.emplace(black_scholes(option.type, option.strike, point.spot, point.vol, at.closed_form()));
        return nullptr;
    }
    // Unset and Analytic alike.  An American option here gets the European
    // formula, except with a carry above the rate, which is not implemented.
    if (option.style == ExerciseStyle::American && point.carry > point.rate) {
        out.emplace(Error::panic(Reason::NotImplemented,
            "not implemented: American options with interest rate below dividend yield have not been implemented"));
        return nullptr;
    }
    out.emplace(black_scholes(option.type, option.strike, point.spot, point.vol, at.closed_form()));
    return nullptr;
}

bool same_settings(const FdmConfig& a, const FdmConfig& b) noexcept {
    return a.transform.kind == b.transform.kind && a.transform.alpha == b.transform.alpha &&
           a.grid_nodes == b.grid_nodes && a.time_steps == b.time_steps && a.grid_std_devs == b.grid_std_devs;
}

// The market's dividends in years after the valuation instant, into `out`.
void dividends_in_years(const MarketRecord& market, const Instant& valuation, std::vector<DividendAt>& out) {
    out.clear();
    for (const Dividend& d : market.dividends) out.push_back({act365_years(valuation, d.ex_date), d.amount});
}

// How many options value_options hands the finite-difference driver at
// once, and how many searches implied_volatilities keeps going: enough for
// the driver to fill its lanes.
constexpr std::size_t kBlock = 32;

}  // namespace

std::optional<Error> check_day_counts(const MarketRecord& market) {
    const DayCountConvention rates = market.rate_curve.day_count();
    const DayCountConvention& vol = market.vol_surface.day_count();
    if (rates == vol) return std::nullopt;
    return Error::value(Reason::DayCountMismatch, "Mismatched day count conventions: Rates use " + rates.debug_text() + ", while Vol uses " +
                        vol.debug_text() + ". They must be identical.");
}


std::size_t block_granularity() noexcept { return fdm_block_granularity(); }

ExpiryTerms expiry_terms(const MarketRecord& market, const Instant& valuation, const Instant& expiry) {
    ExpiryTerms terms;
    const double T = act365_years(valuation, expiry);
    terms.T = T;
    terms.vol = market.vol_surface.slice(market.vol_surface.horizon(valuation, expiry, T));
    if (!(T > 0.0)) return terms;
    const MarketPoint rates = point_at(market, T, std::nullopt);
    terms.rate = rates.rate;
    terms.carry = rates.carry;
    terms.closed = horizon(T, rates.rate, rates.carry);
    return terms;
}

// The branches of prepare_value that end in the closed form.
ClosedFormRule closed_form_rule(const ConfigTable& config, ExerciseStyle style, OptionType type) noexcept {
    const PricingMethod& method = config.slot(style, type);
    switch (method.kind) {
        case PricingMethod::Kind::Fdm:
            return ClosedFormRule::Never;
        case PricingMethod::Kind::ExerciseBoundary:
            return style == ExerciseStyle::European &&
                           valid_tolerance(method.tolerance.value_or(kDefaultBoundaryTolerance))
                       ? ClosedFormRule::Always
                       : ClosedFormRule::Never;
        case PricingMethod::Kind::Unset:
        case PricingMethod::Kind::Analytic:
            break;
    }
    return style == ExerciseStyle::European ? ClosedFormRule::Always : ClosedFormRule::UnlessCarryAboveRate;
}

Outcome<OptionResult> value_option(const VanillaOption& option, const MarketRecord& market, const ConfigTable& config,
                                   const Instant& valuation, CancelCheck cancel, const MarketOverrides& overrides) {
    if (auto mismatch = check_day_counts(market)) return std::move(*mismatch);
    std::optional<Outcome<OptionResult>> done;
    MarketPoint point;
    ExpiryRates at;
    at.move_to(market, valuation, option.expiry);
    // The closed form needs no dividends.
    std::vector<DividendAt> dividends;
    const PricingMethod::Kind kind = config.slot(option.style, option.type).kind;
    if (kind == PricingMethod::Kind::Fdm || kind == PricingMethod::Kind::ExerciseBoundary) {
        dividends_in_years(market, valuation, dividends);
    }
    const FdmConfig* settings = prepare_value(option, market, config, at, overrides, dividends, done, point);
    if (settings == nullptr) return std::move(*done);
    return solve_fdm_in_years(option.type, option.style, option.strike, at.T(), dividends, *settings, point, cancel,
                              nullptr, config.fdm_vega_rho_bump);
}

void value_options(std::span<const VanillaOption> options, std::span<const MarketOverrides> overrides,
                   const MarketRecord& market, const ConfigTable& config, const Instant& valuation,
                   CancelCheck cancel, std::span<std::optional<Outcome<OptionResult>>> out,
                   FdmLaneWorkspace* workspace) {
    // The market is the same for every option: checked once.
    if (auto mismatch = check_day_counts(market)) {
        for (std::size_t i = 0; i < options.size(); ++i) out[i].emplace(*mismatch);
        return;
    }
    // Blocks of finite-difference solves on the settings of their first
    // option.
    std::vector<DividendAt> dividends;
    dividends_in_years(market, valuation, dividends);
    const FdmConfig* settings = nullptr;
    std::array<FdmLane, kBlock> block;
    std::array<std::size_t, kBlock> where{};
    std::size_t count = 0;
    const auto solve_block = [&] {
        if (count == 0) return;
        std::array<std::optional<Outcome<OptionResult>>, kBlock> results;
        solve_fdm_block({block.data(), count}, dividends, *settings, cancel, {results.data(), count}, workspace,
                        config.fdm_vega_rho_bump);
        for (std::size_t k = 0; k < count; ++k) out[where[k]] = std::move(results[k]);
        count = 0;
        settings = nullptr;
    };
    ExpiryRates at;
    for (std::size_t i = 0; i < options.size(); ++i) {
        const VanillaOption& option = options[i];
        // Neighbours often share an expiry, and with it the year fraction.
        if (i == 0 || !(option.expiry == options[i - 1].expiry)) at.move_to(market, valuation, option.expiry);
        MarketPoint point;
        const FdmConfig* own = prepare_value(option, market, config, at, overrides[i], dividends, out[i], point);
        if (own == nullptr) continue;
        if (settings != nullptr && !same_settings(*settings, *own)) solve_block();
        settings = own;
        block[count] = FdmLane{option.type, option.style, option.strike, at.T(), point};
        where[count++] = i;
        if (count == kBlock) solve_block();
    }
    solve_block();
}

namespace {

// Whether the method of a slot models cash dividends (the closed form
// ignores them).
bool models_dividends(const PricingMethod& method) noexcept {
    return method.kind == PricingMethod::Kind::Fdm || method.kind == PricingMethod::Kind::ExerciseBoundary;
}

// The inputs of an implied-volatility search for an option on a market whose
// day counts agree, after the checks made before the search: expired, and
// with refuse_at_exercise_value a target at or below the exercise value of
// the method that prices it (`dividends`, in years, when that method
// models them), unless the search itself checks it (`floor_in_search`).
Outcome<Inputs> search_inputs(const VanillaOption& option, const MarketRecord& market, const Instant& valuation,
                              double target, const VolSearch& bounds, std::optional<double> spot,
                              std::span<const DividendAt> dividends, bool floor_in_search = false) {
    Outcome<Inputs> gathered = gather_inputs(option, market, valuation, spot);
    if (gathered && bounds.refuse_invalid_inputs) {
        if (!std::isfinite(target)) return invalid("target price must be finite, got ", target);
        if (auto bad = invalid_input(option.strike, gathered->market, false)) return std::move(*bad);
    }
    if (!gathered || !bounds.refuse_at_exercise_value || floor_in_search) return gathered;
    const double floor = value_without_volatility(option.type, option.style, option.strike, gathered->T,
                                                  gathered->market, dividends);
    if (target <= floor) {
        return Error::value(Reason::AtExerciseValue, "Target price " + format_shortest(target) +
                                                         " is at or below the exercise value " +
                                                         format_shortest(floor));
    }
    return gathered;
}

// The bracketing search a configured solver asks for: Exact is Brent there,
// and a tolerance not given is Brent's default.
ImpliedVolSolver bracketing(const std::optional<ImpliedVolSolver>& configured) noexcept {
    ImpliedVolSolver solver = configured.value_or(ImpliedVolSolver{});
    if (solver.kind == ImpliedVolSolver::Kind::Exact) solver.kind = ImpliedVolSolver::Kind::Brent;
    if (std::isnan(solver.tolerance)) solver.tolerance = ImpliedVolSolver{}.tolerance;
    return solver;
}

// The bracket of the bracketing searches: the caller's bounds, else the
// configured ones, else the defaults.
root_search::Bracket bracket_of(const VolSearch& bounds, const ConfigTable& config) noexcept {
    return {bounds.low.value_or(config.solver_low.value_or(kDefaultVolLow)),
            bounds.high.value_or(config.solver_high.value_or(kDefaultVolHigh)), bounds.tolerance};
}

// Whether the option's search is the rational inversion of the closed form.
bool searched_exactly(const PricingMethod& method, const ConfigTable& config, const VolSearch& bounds) noexcept {
    if (method.kind != PricingMethod::Kind::Unset && method.kind != PricingMethod::Kind::Analytic) return false;
    return config.solver ? config.solver->kind == ImpliedVolSolver::Kind::Exact : bounds.exact_by_default;
}

// The rational inversion of the closed form (math/implied_black.hpp), its
// answer filtered by the bounds ([0, inf] unless given).  A target it cannot
// invert (below the intrinsic value, at or above the price limit, not a
// number) or an answer outside the bounds fails as Brent does on a bracket
// without a sign change, with f at the two bounds.
Outcome<double> invert_closed_form(const VanillaOption& option, const Inputs& in, double target,
                                   const VolSearch& bounds, const ConfigTable& config) {
    const double low = bounds.low.value_or(config.solver_low.value_or(0.0));
    const double high = bounds.high.value_or(config.solver_high.value_or(std::numeric_limits<double>::infinity()));
    const Horizon h = horizon(in.T, in.market.rate, in.market.carry);
    const bool call = option.type == OptionType::Call;
    const double A = in.market.spot * h.carry_discount, B = option.strike * h.rate_discount;
    if (bounds.refuse_at_exercise_value && option.style == ExerciseStyle::European) {
        // search_inputs left this check here: value_without_volatility's
        // European floor, to the bit, from the factors at hand.
        const double floor = std::fmax((call ? 1.0 : -1.0) * (A - B), 0.0);
        if (target <= floor) {
            return Error::value(Reason::AtExerciseValue, "Target price " + format_shortest(target) +
                                                             " is at or below the exercise value " +
                                                             format_shortest(floor));
        }
    }
    const BlackInversion r = implied_black_volatility(target, A, B, in.T, call);
    if (r.status == BlackInversionStatus::Ok && r.vol >= low && r.vol <= high) return r.vol;
    // The closed form's price at a bound, with its limits at 0 and infinity.
    const auto f = [&](double sigma) {
        double price;
        if (sigma == 0.0) {
            price = call ? std::max(A - B, 0.0) : std::max(B - A, 0.0);
        } else if (sigma == std::numeric_limits<double>::infinity()) {
            price = call ? A : B;
        } else {
            price = black_scholes(option.type, option.strike, in.market.spot, sigma, h).price;
        }
        return price - target;
    };
    return Error::value(Reason::NotBracketed, "Root is not bracketed. f(low) = " + format_shortest(f(low)) +
                                                  ", f(high) = " + format_shortest(f(high)) +
                                                  ". Target price might be out of bounds.");
}

// The search of one option by the method of its slot, each trial priced
// alone (finite-difference trials on `workspace` when given).
Outcome<double> run_search(const VanillaOption& option, const MarketRecord& market, const PricingMethod& method,
                           const ConfigTable& config, const Instant& valuation, const Inputs& in, double target,
                           CancelCheck cancel, const VolSearch& bounds, FdmLaneWorkspace* workspace = nullptr) {
    const std::optional<ImpliedVolSolver>& configured = config.solver;
    const ImpliedVolSolver solver = bracketing(configured);
    const root_search::Bracket bracket = bracket_of(bounds, config);
    if (method.kind == PricingMethod::Kind::ExerciseBoundary) {
        const Outcome<double> tolerance = boundary_tolerance(method);
        if (!tolerance) return tolerance.error();
        std::vector<DividendAt> dividends;
        dividends_in_years(market, valuation, dividends);
        const BoundaryRoute route = boundary_route(option, dividends, in.T, in.market);
        if (route == BoundaryRoute::Grid) {
            PricingMethod grid{PricingMethod::Kind::Fdm, {}, {}};
            return run_search(option, market, grid, config, valuation, in, target, cancel, bounds, workspace);
        }
        const Horizon h = horizon(in.T, in.market.rate, in.market.carry);
        const auto closed_form = [&](double sigma) -> Outcome<root_search::PriceVega> {
            const OptionResult r = black_scholes(option.type, option.strike, in.market.spot, sigma, h);
            return root_search::PriceVega{r.price, *r.greeks.vega};
        };
        // The search of a configured Brent or bisection, else Newton from
        // the volatility at which the closed form reaches the target.
        if (configured && configured->kind != ImpliedVolSolver::Kind::Exact) {
            return root_search::search(*configured, bracket, target, [&](double sigma) -> Outcome<double> {
                if (route == BoundaryRoute::ClosedForm) return closed_form(sigma)->price;
                return american_exercise_boundary(option.type, option.strike, in.T, with_vol(in.market, sigma),
                                                  *tolerance).price;
            });
        }
        const double given = configured ? configured->tolerance : std::numeric_limits<double>::quiet_NaN();
        const double price_tolerance =
            bounds.tolerance.value_or(std::isnan(given) ? *tolerance * option.strike : given);
        const Outcome<double> european = root_search::newton(bracket, target, price_tolerance, solver.max_iterations,
                                                             0.5 * (bracket.low + bracket.high), closed_form);
        if (route == BoundaryRoute::ClosedForm) return european;
        const double start = european ? *european : 0.5 * (bracket.low + bracket.high);
        return root_search::newton(bracket, target, price_tolerance, solver.max_iterations, start,
                                   [&](double sigma) -> Outcome<root_search::PriceVega> {
                                       if (cancel.cancelled()) return Error::cancelled();
                                       const OptionResult r = american_exercise_boundary(
                                           option.type, option.strike, in.T, with_vol(in.market, sigma), *tolerance);
                                       return root_search::PriceVega{r.price, r.greeks.vega.value_or(0.0)};
                                   });
    }
    if (method.kind == PricingMethod::Kind::Fdm) {
        const FdmConfig& settings = fdm_settings(method);
        return root_search::search(solver, bracket, target, [&](double sigma) -> Outcome<double> {
            // A small grid may finish before the engine polls at all, so the
            // search polls once per trial as well.
            if (cancel.cancelled()) return Error::cancelled();
            Outcome<OptionResult> res = solve_fdm(option, market.dividends, valuation, settings,
                                                  with_vol(in.market, sigma), cancel, workspace);
            if (!res) return std::move(res).error();
            return res->price;
        });
    }
    if (searched_exactly(method, config, bounds)) return invert_closed_form(option, in, target, bounds, config);
    // No early-exercise check here: an American option in an analytic slot is
    // priced by the closed form whatever r and q are.
    const Horizon h = horizon(in.T, in.market.rate, in.market.carry);
    return root_search::search(solver, bracket, target, [&](double sigma) -> Outcome<double> {
        return black_scholes(option.type, option.strike, in.market.spot, sigma, h).price;
    });
}

}  // namespace

namespace {

// The table with the solver and bounds of its Config.implied_vol_solver
// request, or the error refusing the request.
Outcome<ConfigTable> with_requested_solver(const ConfigTable& config) {
    const ConfigTable::SolverRequest& q = *config.solver_request;
    ImpliedVolSolver solver;
    if (q.method == "brent") {
        solver.kind = ImpliedVolSolver::Kind::Brent;
    } else if (q.method == "bisection") {
        solver.kind = ImpliedVolSolver::Kind::Bisection;
    } else if (q.method == "exact") {
        solver.kind = ImpliedVolSolver::Kind::Exact;
        solver.tolerance = std::numeric_limits<double>::quiet_NaN();
    } else {
        return Error::value("Implied-volatility method must be 'brent', 'bisection' or 'exact', got '" + q.method +
                            "'");
    }
    if (q.tolerance) {
        if (!(std::isfinite(*q.tolerance) && *q.tolerance > 0.0)) {
            return Error::value("Implied-volatility tolerance must be finite and positive, got " +
                                format_shortest(*q.tolerance));
        }
        solver.tolerance = *q.tolerance;
    }
    if (q.max_iterations) solver.max_iterations = *q.max_iterations;
    const bool low_ok = !q.low || (std::isfinite(*q.low) && *q.low >= 0.0);
    const bool high_ok = !q.high || (*q.high > 0.0 && (!q.low || *q.low < *q.high));
    if (!low_ok || !high_ok) {
        return Error::value("Implied-volatility bounds must satisfy 0 <= low < high, got low = " +
                            (q.low ? format_shortest(*q.low) : std::string("None")) + ", high = " +
                            (q.high ? format_shortest(*q.high) : std::string("None")));
    }
    // Built field by field: the request itself is not carried over.
    ConfigTable table;
    table.slots = config.slots;
    table.fdm_vega_rho_bump = config.fdm_vega_rho_bump;
    table.solver = solver;
    table.solver_low = q.low;
    table.solver_high = q.high;
    return table;
}

}  // namespace

Outcome<double> implied_volatility(const VanillaOption& option, const MarketRecord& market, const ConfigTable& config,
                                   const Instant& valuation, std::optional<double> target, CancelCheck cancel,
                                   const VolSearch& bounds, std::optional<double> spot) {
    if (auto mismatch = check_day_counts(market)) return std::move(*mismatch);
    if (!target) return Error::value("Target price must be set before calling solve().");
    if (config.solver_request) {
        const Outcome<ConfigTable> requested = with_requested_solver(config);
        if (!requested) return requested.error();
        return implied_volatility(option, market, *requested, valuation, target, cancel, bounds, spot);
    }
    std::vector<DividendAt> dividends;
    if (bounds.refuse_at_exercise_value && models_dividends(config.slot(option.style, option.type))) {
        dividends_in_years(market, valuation, dividends);
    }
    const bool floor_in_search = option.style == ExerciseStyle::European &&
                                 searched_exactly(config.slot(option.style, option.type), config, bounds);
    Outcome<Inputs> in = search_inputs(option, market, valuation, *target, bounds, spot, dividends, floor_in_search);
    if (!in) return std::move(in).error();
    return run_search(option, market, config.slot(option.style, option.type), config, valuation, *in, *target, cancel,
                      bounds);
}

void implied_volatilities(std::span<const VanillaOption> options, std::span<const double> targets,
                          std::span<const std::optional<double>> spots, const MarketRecord& market,
                          const ConfigTable& config, const Instant& valuation, CancelCheck cancel,
                          const VolSearch& bounds, std::span<std::optional<Outcome<double>>> out,
                          FdmLaneWorkspace* workspace) {
    // The market is the same for every option: checked once.
    if (auto mismatch = check_day_counts(market)) {
        for (std::size_t i = 0; i < options.size(); ++i) out[i].emplace(*mismatch);
        return;
    }
    if (config.solver_request) {
        const Outcome<ConfigTable> requested = with_requested_solver(config);
        if (!requested) {
            for (std::size_t i = 0; i < options.size(); ++i) out[i].emplace(requested.error());
            return;
        }
        return implied_volatilities(options, targets, spots, market, *requested, valuation, cancel, bounds, out,
                                    workspace);
    }
    const ImpliedVolSolver solver = bracketing(config.solver);
    const root_search::Bracket bracket = bracket_of(bounds, config);
    // Lanes [0, busy) hold searches in progress, all on `settings`: their
    // options, their markets (volatility set per trial) and where they came
    // from.
    std::vector<DividendAt> dividends;
    dividends_in_years(market, valuation, dividends);
    std::array<std::optional<root_search::Search>, kBlock> searches;
    std::array<FdmLane, kBlock> lanes;
    std::array<std::size_t, kBlock> where{};
    std::size_t busy = 0;
    const FdmConfig* settings = nullptr;
    std::size_t next = 0;

    // Starts the next options in free lanes.  One that needs no search, or
    // whose trials cannot share the lanes' (another method or other
    // settings), is solved on the spot.
    const auto fill = [&] {
        if (busy == 0) settings = nullptr;  // idle lanes take any settings
        for (; busy < kBlock && next < options.size(); ++next) {
            const VanillaOption& option = options[next];
            const bool modelled = models_dividends(config.slot(option.style, option.type));
            const bool floor_in_search = option.style == ExerciseStyle::European &&
                                         searched_exactly(config.slot(option.style, option.type), config, bounds);
            Outcome<Inputs> in =
                search_inputs(option, market, valuation, targets[next], bounds, spots[next],
                              modelled ? std::span<const DividendAt>(dividends) : std::span<const DividendAt>(),
                              floor_in_search);
            if (!in) {
                out[next].emplace(std::move(in).error());
                continue;
            }
            const PricingMethod& method = config.slot(option.style, option.type);
            const FdmConfig* own = method.kind == PricingMethod::Kind::Fdm ? &fdm_settings(method) : nullptr;
            if (own == nullptr || (settings != nullptr && !same_settings(*settings, *own))) {
                out[next].emplace(run_search(option, market, method, config, valuation, *in, targets[next], cancel,
                                             bounds, workspace));
                continue;
            }
            settings = own;
            searches[busy].emplace(solver, bracket, targets[next]);
            lanes[busy] = FdmLane{option.type, option.style, option.strike, in->T, in->market};
            where[busy++] = next;
        }
    };

    fill();
    while (busy > 0) {
        // The poll of each search's trial, once for all of them.
        if (cancel.cancelled()) {
            for (std::size_t k = 0; k < busy; ++k) out[where[k]].emplace(Error::cancelled());
            for (; next < options.size(); ++next) out[next].emplace(Error::cancelled());
            return;
        }
        std::array<FdmLane, kBlock> trials = lanes;
        for (std::size_t k = 0; k < busy; ++k) trials[k].market.vol = searches[k]->trial();
        std::array<std::optional<Outcome<OptionResult>>, kBlock> priced;
        solve_fdm_block({trials.data(), busy}, dividends, *settings, cancel, {priced.data(), busy}, workspace);
        // Downwards, so that a finished lane can take the last busy one,
        // already fed.
        for (std::size_t k = busy; k-- > 0;) {
            root_search::Search& s = *searches[k];
            Outcome<OptionResult>& res = *priced[k];
            if (res) {
                s.feed(res->price);
            } else {
                s.fail(std::move(res).error());
            }
            if (!s.done()) continue;
            out[where[k]].emplace(s.take_result());
            if (k != --busy) {
                searches[k] = std::move(searches[busy]);
                lanes[k] = lanes[busy];
                where[k] = where[busy];
            }
        }
        fill();
    }
}

}  // namespace zub
