#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/number_text.hpp"
#include "execution/valuation.hpp"
#include "orchestration/analytic.hpp"
#include "pricing_fixture.hpp"

namespace {

using namespace zub;
using namespace zub::testing;

const std::string kBrentLimit = "Brent's method failed to converge within max iterations";
const std::string kBisectionLimit = "Bisection failed to converge within max iterations";

ConfigTable with_solver(ImpliedVolSolver::Kind kind, double tolerance = 1e-4, uint64_t max_iterations = 100) {
    ConfigTable t = ConfigTable::defaults();
    t.solver = ImpliedVolSolver{kind, tolerance, max_iterations};
    return t;
}

void expect_value_error(const Outcome<double>& out, const std::string& message) {
    ASSERT_FALSE(out.ok()) << "returned " << *out;
    EXPECT_EQ(out.error().kind, ErrorKind::Value);
    EXPECT_EQ(out.error().message, message);
}

struct Case {
    OptionType type;
    double S, K, years, r, q, vol;
};

const Case kCases[] = {
    {Call, 100, 100, 1.0, 0.05, 0.0, 0.25},  {Put, 100, 100, 1.0, 0.05, 0.0, 0.25},
    {Call, 100, 130, 0.5, 0.02, 0.01, 0.4},  {Put, 100, 80, 0.25, 0.03, 0.0, 0.6},
    {Call, 50, 45, 2.0, -0.01, 0.02, 1.5},   {Put, 100, 100, 1.0, 0.0, 0.0, 3.8},
    {Call, 100, 100, 1.0, 0.05, 0.0, 0.1004}, {Put, 100, 95, 0.1, 0.01, 0.0, 0.15},
};

double analytic_price(const Case& c, double vol) {
    return black_scholes(c.type, c.K, c.years, {.spot = c.S, .vol = vol, .rate = c.r, .carry = c.q}).price;
}

// Bisection stops when the price is within the tolerance of the target.
// Brent stops either there or when its bracket [b, c] has shrunk to about the
// tolerance, measured in volatility: then the price may miss by up to
// vega * tolerance, which is why the volatility is checked instead.
TEST(ImpliedVol, BothSearchesStopWithinTolerance) {
    for (const Case& c : kCases) {
        const auto option = make_option(c.type, European, c.K, c.years);
        const auto market = make_market(c.S, c.r, 0.3, c.q);  // the surface's volatility plays no part
        const double target = analytic_price(c, c.vol);
        for (auto kind : {ImpliedVolSolver::Kind::Brent, ImpliedVolSolver::Kind::Bisection}) {
            const auto out = implied_volatility(option, market, with_solver(kind), valuation_instant(), target);
            ASSERT_TRUE(out.ok()) << out.error().message;
            const double miss = std::fabs(analytic_price(c, *out) - target);
            if (kind == ImpliedVolSolver::Kind::Bisection) {
                EXPECT_LT(miss, 1e-4) << c.vol << " got " << *out;
            } else {
                EXPECT_TRUE(miss < 1e-4 || std::fabs(*out - c.vol) <= 1e-4) << c.vol << " got " << *out;
            }
            const double vega =
                *black_scholes(c.type, c.K, c.years, {.spot = c.S, .vol = c.vol, .rate = c.r, .carry = c.q})
                     .greeks.vega;
            EXPECT_NEAR(*out, c.vol, std::max(1e-4, 1e-4 / vega)) << c.vol;
        }
        // No solver in the table means Brent with the defaults.
        const auto brent = implied_volatility(option, market, with_solver(ImpliedVolSolver::Kind::Brent),
                                              valuation_instant(), target);
        const auto dflt = implied_volatility(option, market, ConfigTable::defaults(), valuation_instant(), target);
        ASSERT_TRUE(dflt.ok());
        EXPECT_EQ(*dflt, *brent);
    }
}

// Pins the solver's bracket ends, 0.1 and 5.0, returned as they are within the tolerance.
TEST(ImpliedVol, BracketEndsReturnedExactly) {
    const Case& c = kCases[0];
    const auto option = make_option(c.type, European, c.K, c.years);
    const auto market = make_market(c.S, c.r, 0.3, c.q);
    const double low = analytic_price(c, 0.1), high = analytic_price(c, 5.0);
    for (double target : {low, low + 0.9e-4, low - 0.9e-4}) {
        EXPECT_EQ(*implied_volatility(option, market, ConfigTable::defaults(), valuation_instant(), target), 0.1);
    }
    for (double target : {high, high - 0.9e-4}) {
        EXPECT_EQ(*implied_volatility(option, market, ConfigTable::defaults(), valuation_instant(), target), 5.0);
    }
}

// Pins the unbracketed-root message, both ends' values included.
TEST(ImpliedVol, BrentNotBracketedReportsBothEnds) {
    const Case& c = kCases[1];
    const auto option = make_option(c.type, European, c.K, c.years);
    const auto market = make_market(c.S, c.r, 0.3, c.q);
    auto message = [](const std::string& lo, const std::string& hi) {
        return "Root is not bracketed. f(low) = " + lo + ", f(high) = " + hi + ". Target price might be out of bounds.";
    };
    for (double target : {0.5, 150.0}) {  // below the price at 0.1, above the price at 5.0
        expect_value_error(implied_volatility(option, market, ConfigTable::defaults(), valuation_instant(), target),
                           message(format_shortest(analytic_price(c, 0.1) - target),
                                   format_shortest(analytic_price(c, 5.0) - target)));
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    expect_value_error(implied_volatility(option, market, ConfigTable::defaults(), valuation_instant(), nan),
                       message("NaN", "NaN"));
    // A NaN price at the ends (NaN spot) is no sign change either.
    expect_value_error(
        implied_volatility(option, make_market(nan, c.r, 0.3, c.q), ConfigTable::defaults(), valuation_instant(), 5.0),
        message("NaN", "NaN"));
}

// Pins the bisection's bound messages: a NaN target is refused as below.
TEST(ImpliedVol, BisectionBoundsAndNanTarget) {
    const Case& c = kCases[0];
    const auto option = make_option(c.type, European, c.K, c.years);
    const auto market = make_market(c.S, c.r, 0.3, c.q);
    const ConfigTable table = with_solver(ImpliedVolSolver::Kind::Bisection);
    expect_value_error(implied_volatility(option, market, table, valuation_instant(), 0.5),
                       "Target price 0.5 is below value at min vol");
    expect_value_error(implied_volatility(option, market, table, valuation_instant(), 120.0),
                       "Target price 120 is above value at max vol");
    // A NaN target cannot be compared with the prices; it is refused as below
    // the minimum rather than searched for.
    expect_value_error(implied_volatility(option, market, table, valuation_instant(),
                                          std::numeric_limits<double>::quiet_NaN()),
                       "Target price NaN is below value at min vol");
}

// Pins where the iteration limits apply: after the bracket checks, and the bisection's interval floor.
TEST(ImpliedVol, IterationLimits) {
    const Case& c = kCases[2];
    const auto option = make_option(c.type, European, c.K, c.years);
    const auto market = make_market(c.S, c.r, 0.3, c.q);
    const double target = analytic_price(c, c.vol);
    using K = ImpliedVolSolver::Kind;
    // A zero limit fails after the bracket checks, before any iteration.
    expect_value_error(implied_volatility(option, market, with_solver(K::Brent, 1e-4, 0), valuation_instant(), target),
                       kBrentLimit);
    expect_value_error(
        implied_volatility(option, market, with_solver(K::Bisection, 1e-4, 0), valuation_instant(), target),
        kBisectionLimit);
    // ...but the bracket-end shortcut needs no iteration at all.
    EXPECT_EQ(*implied_volatility(option, market, with_solver(K::Brent, 1e-4, 0), valuation_instant(),
                                  analytic_price(c, 0.1)),
              0.1);
    // Too few iterations for a tight tolerance.
    expect_value_error(implied_volatility(option, market, with_solver(K::Brent, 1e-12, 3), valuation_instant(), target),
                       kBrentLimit);
    expect_value_error(
        implied_volatility(option, market, with_solver(K::Bisection, 1e-12, 10), valuation_instant(), target),
        kBisectionLimit);
    // Bisection stops on the interval floor (about 29 halvings of 4.9) even
    // when the tolerance can never be met.
    const auto floor = implied_volatility(option, market, with_solver(K::Bisection, 0.0, 100), valuation_instant(), target);
    ASSERT_TRUE(floor.ok());
    EXPECT_NEAR(*floor, c.vol, 1e-7);
    expect_value_error(
        implied_volatility(option, market, with_solver(K::Bisection, 0.0, 28), valuation_instant(), target),
        kBisectionLimit);
}

// Pins the order of the solve's checks: day counts, then the target, then the expiry.
TEST(ImpliedVol, CheckOrderMismatchThenTargetThenExpiry) {
    const auto act365 = DayCountConvention::act365_fixed();
    MarketRecord mismatched{100.0, RateCurve::continuous(0.05, act365),
                            VolSurface::flat(0.2, DayCountConvention::act360()), {}, {}};
    const auto expired = make_option(Call, European, 100, 0.0);
    expect_value_error(implied_volatility(expired, mismatched, ConfigTable::defaults(), valuation_instant(), std::nullopt),
                       "Mismatched day count conventions: Rates use Actual365Fixed, while Vol uses Actual360. They "
                       "must be identical.");
    const auto market = make_market(100, 0.05, 0.2);
    expect_value_error(implied_volatility(expired, market, ConfigTable::defaults(), valuation_instant(), std::nullopt),
                       "Target price must be set before calling solve().");
    for (ExerciseStyle style : {European, American}) {  // analytic and finite-difference slots
        expect_value_error(implied_volatility(make_option(Put, style, 100, -0.1), market, ConfigTable::defaults(),
                                              valuation_instant(), 5.0),
                           "Option has expired: the valuation time is at or after expiry");
    }
}

// Pins a rule of this library: the implied-volatility solve skips the closed form's carry check.
TEST(ImpliedVol, AmericanInAnalyticSlotIgnoresCarryCheck) {
    // q > r would be refused by valuation; the search prices it by the closed form.
    const Case c{Put, 100, 100, 1.0, 0.01, 0.05, 0.3};
    const auto option = make_option(Put, American, c.K, c.years);
    const auto out = implied_volatility(option, make_market(c.S, c.r, 0.2, c.q),
                                        with_slot(American, Put, analytic_method()), valuation_instant(),
                                        analytic_price(c, c.vol));
    ASSERT_TRUE(out.ok()) << out.error().message;
    EXPECT_NEAR(*out, c.vol, 1e-3);
}

// The finite-difference method prices every trial on its own grid; the
// search must find the volatility that produced a finite-difference price.
TEST(ImpliedVol, FdmSlotSearchesWithTheEngine) {
    const Instant now = valuation_instant();
    const auto market = make_market(100, 0.05, 0.3, 0.01, {{at_unix(kValuationSecs + kSecsPerYear / 4), 1.0}});
    // The American call takes the default finite-difference slot; the
    // European put is sent there by its own slot.
    ConfigTable table = with_slot(European, Put, fdm_method());
    for (const auto& option : {make_option(Call, American, 105, 1.0), make_option(Put, European, 105, 1.0)}) {
        const auto priced = value_option(option, market, table, now);
        ASSERT_TRUE(priced.ok()) << priced.error().message;
        ASSERT_FALSE(priced->greeks.vega.has_value());
        const auto out = implied_volatility(option, market, table, now, priced->price);
        ASSERT_TRUE(out.ok()) << out.error().message;
        EXPECT_NEAR(*out, 0.3, 2e-4);
        table.solver = ImpliedVolSolver{ImpliedVolSolver::Kind::Bisection, 1e-4, 100};
        const auto bisect = implied_volatility(option, market, table, now, priced->price);
        table.solver.reset();
        ASSERT_TRUE(bisect.ok()) << bisect.error().message;
        EXPECT_NEAR(*bisect, 0.3, 2e-4);
    }
}

// Pins that an engine failure ends the search unchanged, kind and message.
TEST(ImpliedVol, EngineFailuresStopTheSearch) {
    const auto option = make_option(Put, American, 100, 1.0);
    const auto market = make_market(100, 0.05, 0.2);
    FdmConfig tiny;
    tiny.grid_nodes = 2;
    const auto bad = implied_volatility(option, market, with_slot(American, Put, fdm_method(tiny)), valuation_instant(), 8.0);
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().kind, ErrorKind::Panic);
    EXPECT_EQ(bad.error().message, "TridiagonalOperator requires at least 3 elements, found 2");
    const auto cancelled =
        implied_volatility(option, market, ConfigTable::defaults(), valuation_instant(), 8.0, {always_cancel, nullptr});
    ASSERT_FALSE(cancelled.ok());
    EXPECT_EQ(cancelled.error().kind, ErrorKind::Cancelled);
}

// Default-grid American calls whose searches try sigma sqrt(T) far past 1.
TEST(ImpliedVol, DefaultGridAmericanCallsRecoverTheirVolatility) {
    for (double days : {182.0, 365.0, 730.0, 1095.0, 1460.0, 1825.0}) {
        for (double K : {80.0, 90.0, 100.0, 105.0, 110.0, 120.0}) {
            for (double vol : {0.20, 0.35, 0.50}) {
                const double T = days / 365.0,
                             target = black_scholes(OptionType::Call, K, T,
                                                    {.spot = 100.0, .vol = vol, .rate = 0.03, .carry = 0.0})
                                          .price;
                const auto out = implied_volatility(make_option(Call, American, K, T), make_market(100.0, 0.03, 0.3),
                                                    ConfigTable::defaults(), valuation_instant(), target);
                EXPECT_TRUE(out.ok() && std::abs(*out - vol) < 0.005) << days << " " << K << " " << vol;
            }
        }
    }
}

// Searches run side by side give each option exactly what it gets alone, by
// either search (which Python cannot choose) and when some end early:
// failures, iteration limits, an expired option, a European one solved
// apart.
TEST(ImpliedVol, BlockOfSearchesMatchesOneByOne) {
    const Instant now = valuation_instant();
    const auto market = make_market(100, 0.03, 0.3, 0.01);
    std::vector<VanillaOption> options;
    std::vector<double> targets;
    for (int i = 0; i < 24; ++i) {
        options.push_back(make_option(i % 3 == 0 ? Call : Put, i == 5 ? European : American, 80 + 2.5 * i,
                                      i == 9 ? -0.1 : 0.25 + 0.2 * (i % 5)));
        const auto priced = value_option(options.back(), market, ConfigTable::defaults(), now, {},
                                         {.spot = std::nullopt, .vol = 0.12 + 0.15 * i});
        targets.push_back(priced ? priced->price : 1.0);
    }
    targets[3] = 0.0;    // at the exercise value
    targets[7] = 500.0;  // above the price at the upper bound
    const std::vector<std::optional<double>> spots(options.size());
    VolSearch bounds;
    bounds.refuse_at_exercise_value = true;
    using K = ImpliedVolSolver::Kind;
    // The last two stop some searches at their iteration limit.
    for (const ImpliedVolSolver solver : {ImpliedVolSolver{}, ImpliedVolSolver{K::Bisection, 1e-4, 100},
                                          ImpliedVolSolver{K::Brent, 1e-4, 6},
                                          ImpliedVolSolver{K::Bisection, 1e-2, 10}}) {
        ConfigTable table = ConfigTable::defaults();
        table.solver = solver;
        std::vector<std::optional<Outcome<double>>> out(options.size());
        implied_volatilities(options, targets, spots, market, table, now, {}, bounds, out);
        for (std::size_t i = 0; i < options.size(); ++i) {
            const auto alone = implied_volatility(options[i], market, table, now, targets[i], {}, bounds);
            ASSERT_TRUE(out[i].has_value()) << i;
            const Outcome<double>& got = *out[i];
            ASSERT_EQ(got.ok(), alone.ok()) << i;
            if (alone.ok()) {
                EXPECT_EQ(std::bit_cast<uint64_t>(*got), std::bit_cast<uint64_t>(*alone)) << i;
            } else {
                EXPECT_EQ(got.error().reason, alone.error().reason) << i;
                EXPECT_EQ(got.error().message, alone.error().message) << i;
            }
        }
    }
}

}  // namespace
