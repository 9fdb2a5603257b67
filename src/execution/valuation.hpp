// Pricing inputs, method dispatch and the implied-volatility searches.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "core/error.hpp"
#include "core/period.hpp"
#include "instruments/vanilla_option.hpp"
#include "market/market_record.hpp"
#include "methods/finite_difference/fdm_config.hpp"
#include "orchestration/analytic.hpp"
#include "orchestration/option_result.hpp"

namespace zub {
class FdmLaneWorkspace;
}

namespace zub {

struct PricingMethod {
    enum class Kind : uint8_t { Unset, Analytic, Fdm, ExerciseBoundary };
    Kind kind = Kind::Unset;
    std::optional<FdmConfig> fdm;  // Fdm only; absent means the defaults
    // ExerciseBoundary only: the largest price error aimed for, as a
    // fraction of the strike; absent means kDefaultBoundaryTolerance.
    std::optional<double> tolerance;
};

inline constexpr double kDefaultBoundaryTolerance = 1e-6;
inline constexpr double kDefaultVegaRhoBump = 5e-3;

// The implied-volatility search of a configuration (Config.implied_vol_solver).
// Exact is the rational inversion where the slot prices by the closed form,
// the exercise-boundary method's Newton search where the slot is that
// method, and Brent where it is finite differences; its tolerance is NaN
// unless given (then each search keeps its own default).
struct ImpliedVolSolver {
    enum class Kind : uint8_t { Brent, Bisection, Exact };
    Kind kind = Kind::Brent;
    double tolerance = 1e-4;
    uint64_t max_iterations = 100;
};

// The bracket of the bracketing searches (Brent, bisection, the Newton
// search of the exercise-boundary method) when nobody gives one.
inline constexpr double kDefaultVolLow = 0.1;
inline constexpr double kDefaultVolHigh = 5.0;

// The method table of a configuration: one slot per exercise style and
// option type.
struct ConfigTable {
    std::optional<ImpliedVolSolver> solver;
    // The bounds given with the solver: the bracket of the bracketing
    // searches (absent: kDefaultVolLow, kDefaultVolHigh) and the filter on
    // the rational inversion's answer (absent: 0 and infinity).
    std::optional<double> solver_low, solver_high;
    // What Config.implied_vol_solver was given, as given; checked when a
    // search starts, which then takes its solver and bounds from it.
    struct SolverRequest {
        std::string method;  // "brent", "bisection" or "exact"
        std::optional<double> tolerance = std::nullopt;
        std::optional<uint64_t> max_iterations = std::nullopt;
        std::optional<double> low = std::nullopt, high = std::nullopt;
    };
    std::optional<SolverRequest> solver_request;
    // Finite-difference valuations also give vega and rho, by central
    // differences with this bump (solve_fdm); absent, they stay absent.
    std::optional<double> fdm_vega_rho_bump;
    // Indexed by slot_index(style, type).
    std::array<PricingMethod, 4> slots{};

    static std::size_t slot_index(ExerciseStyle s, OptionType t) noexcept {
        return static_cast<std::size_t>(s) * 2 + static_cast<std::size_t>(t);
    }
    const PricingMethod& slot(ExerciseStyle s, OptionType t) const noexcept { return slots[slot_index(s, t)]; }

    // American slots Fdm without settings, European slots unset.
    static const ConfigTable& defaults() noexcept;
};

// Per-option replacements of the market's spot and volatility (a smile, a
// scenario ladder); absent fields read the market record.
struct MarketOverrides {
    std::optional<double> spot;
    std::optional<double> vol;
    // Refuse (Reason::InvalidInput) a strike or spot that is not finite and
    // positive, a volatility that is not finite and positive, a rate or
    // carry that is not finite, instead of pricing them.
    bool refuse_invalid_inputs = false;
};

// The search interval and price tolerance of an implied-volatility solve,
// as the caller gives them: absent bounds are the configured solver's, else
// [kDefaultVolLow, kDefaultVolHigh] for the bracketing searches and [0, inf]
// for the rational inversion, where they filter the answer (one outside
// fails with Reason::NotBracketed and Brent's message).  An absent tolerance
// takes the configured solver's.  With refuse_at_exercise_value a target at
// or below what the option is worth without volatility fails with
// Reason::AtExerciseValue instead of converging on the lower bound.
struct VolSearch {
    std::optional<double> low;
    std::optional<double> high;
    std::optional<double> tolerance;
    // Without a configured solver, options whose slot prices by the closed
    // form (analytic or unset) are solved by the rational inversion, as the
    // configured kind Exact does (the array API); else by Brent.
    bool exact_by_default = false;
    bool refuse_at_exercise_value = false;
    // Refuse (Reason::InvalidInput) a target that is not finite, and the
    // inputs MarketOverrides::refuse_invalid_inputs refuses.
    bool refuse_invalid_inputs = false;
};

// The day-count mismatch error when the rate curve and the surface measure
// time differently.  The curve may throw Panic for a kind without a
// convention.
std::optional<Error> check_day_counts(const MarketRecord& market);

// Price and Greeks by the configured method.  Errors: Value for a day-count
// mismatch or an expired option, Panic for the not-implemented American
// analytic case, whatever the engines report.
Outcome<OptionResult> value_option(const VanillaOption& option, const MarketRecord& market,
                                   const ConfigTable& config, const Instant& valuation, CancelCheck cancel = {},
                                   const MarketOverrides& overrides = {});

// value_option for each option of a block on one market, configuration
// and valuation time (options[i] with overrides[i] into out[i], each exactly
// what value_option gives it).  Neighbours with one expiry share its rates
// and closed-form factors.  Neighbouring finite-difference solves with one
// set of settings go to the driver as one block (solve_fdm_block), on
// `workspace` when given.
void value_options(std::span<const VanillaOption> options, std::span<const MarketOverrides> overrides,
                   const MarketRecord& market, const ConfigTable& config, const Instant& valuation,
                   CancelCheck cancel, std::span<std::optional<Outcome<OptionResult>>> out,
                   FdmLaneWorkspace* workspace = nullptr);

// The fewest options of a block that value_options and
// implied_volatilities price as fast per option as a larger block; a
// caller that splits work into blocks makes them multiples of it.
std::size_t block_granularity() noexcept;

// What every option of one expiry shares on one market: the Actual/365
// Fixed time to it, the surface's horizon for it and, when the time is
// positive, the rates there and the closed form's factors, as value_option
// takes them.
struct ExpiryTerms {
    double T = 0.0;
    VolSlice vol;  // the surface at its horizon for the expiry
    double rate = 0.0, carry = 0.0;
    Horizon closed;
};
ExpiryTerms expiry_terms(const MarketRecord& market, const Instant& valuation, const Instant& expiry);

// When value_option prices an option of one style and type by the closed
// form alone, at the rates of its expiry, once its time to expiry is
// positive, the day counts agree and its inputs are ones that
// MarketOverrides::refuse_invalid_inputs accepts: then it gives exactly
// black_scholes (or black_scholes_block) at the option's strike, spot and
// volatility on that expiry's horizon.
enum class ClosedFormRule : uint8_t { Never, Always, UnlessCarryAboveRate };
ClosedFormRule closed_form_rule(const ConfigTable& config, ExerciseStyle style, OptionType type) noexcept;

inline bool priced_by_closed_form(ClosedFormRule rule, double rate, double carry) noexcept {
    return rule == ClosedFormRule::Always || (rule == ClosedFormRule::UnlessCarryAboveRate && !(carry > rate));
}

// Volatility that reproduces `target` by the configured method and search.
// The target is checked after the day-count check and before anything else,
// hence optional here.
Outcome<double> implied_volatility(const VanillaOption& option, const MarketRecord& market,
                                   const ConfigTable& config, const Instant& valuation,
                                   std::optional<double> target,
                                   CancelCheck cancel = {}, const VolSearch& bounds = {},
                                   std::optional<double> spot = {});

// implied_volatility for each option of a block on one market, configuration,
// valuation time and search (options[i] with targets[i] and spots[i] into
// out[i], each exactly what implied_volatility gives it).  Searches by
// finite differences with one set of settings run side by side, their
// trials priced as one block (solve_fdm_block); a search that ends hands
// its place to the next such option of the block.  The others are solved one by one.  Solves use
// `workspace` when given.  Once `cancel` fires, every option without an
// outcome gets Cancelled.  An exception (std::bad_alloc) leaves the outcomes
// found so far in place.
void implied_volatilities(std::span<const VanillaOption> options, std::span<const double> targets,
                          std::span<const std::optional<double>> spots, const MarketRecord& market,
                          const ConfigTable& config, const Instant& valuation, CancelCheck cancel,
                          const VolSearch& bounds, std::span<std::optional<Outcome<double>>> out,
                          FdmLaneWorkspace* workspace = nullptr);

}  // namespace zub
