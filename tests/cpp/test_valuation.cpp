#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <string>

#include "execution/valuation.hpp"
#include "orchestration/analytic.hpp"
#include "orchestration/fdm.hpp"
#include "pricing_fixture.hpp"

// Counts heap allocations made by this thread, to show that the analytic
// valuation path allocates nothing.
namespace {
thread_local long g_allocations = 0;
}
void* operator new(std::size_t n) {
    ++g_allocations;
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    ++g_allocations;
    return std::malloc(n ? n : 1);
}
// The replacement news above takes its memory from malloc, so free is the
// matching release; GCC cannot see that once these are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

using namespace zub;
using namespace zub::testing;

const std::string kAmericanAnalytic =
    "not implemented: American options with interest rate below dividend yield have not been implemented";
const std::string kExpired = "Option has expired: the valuation time is at or after expiry";

void expect_error(const Outcome<OptionResult>& out, ErrorKind kind, const std::string& message) {
    ASSERT_FALSE(out.ok()) << "priced at " << out->price;
    EXPECT_EQ(out.error().kind, kind);
    EXPECT_EQ(out.error().message, message);
}

// Pins the default method table: finite differences for American, unset for European, no solver.
TEST(ConfigDefaults, AmericanSlotsFdmEuropeanUnsetNoSolver) {
    const ConfigTable& t = ConfigTable::defaults();
    EXPECT_FALSE(t.solver.has_value());
    for (OptionType type : {Call, Put}) {
        EXPECT_EQ(t.slot(American, type).kind, PricingMethod::Kind::Fdm);
        EXPECT_FALSE(t.slot(American, type).fdm.has_value());
        EXPECT_EQ(t.slot(European, type).kind, PricingMethod::Kind::Unset);
    }
    EXPECT_EQ(&ConfigTable::defaults(), &t);
}

// Analytic valuation hands exactly the gathered inputs to the closed form:
// r and q from the curves at T, sigma from the surface, S from the record.
// Pins how the inputs are gathered: curves read at expiry, volatility from the surface, spot from the record.
TEST(ValueOption, AnalyticUsesGatheredInputs) {
    struct Row {
        OptionType type;
        ExerciseStyle style;
        PricingMethod method;
        double K, years, r, vol;
        std::optional<double> q;
    };
    const Row rows[] = {
        {Call, European, PricingMethod{}, 100, 1.0, 0.05, 0.2, std::nullopt},
        {Put, European, analytic_method(), 100, 1.0, 0.05, 0.2, std::nullopt},
        {Put, European, PricingMethod{}, 120, 0.5, 0.03, 0.35, 0.01},
        {Call, American, analytic_method(), 90, 2.0, 0.04, 0.25, 0.04},  // q == r is allowed
        {Put, American, PricingMethod{}, 110, 0.25, 0.02, 0.3, -0.01},
    };
    for (const Row& row : rows) {
        const auto option = make_option(row.type, row.style, row.K, row.years);
        const auto market = make_market(100.0, row.r, row.vol, row.q);
        const auto out = value_option(option, market, with_slot(row.style, row.type, row.method), valuation_instant());
        ASSERT_TRUE(out.ok()) << out.error().message;
        const double T = option.years_to_expiry(valuation_instant());
        const auto ref = black_scholes(row.type, row.K, T,
                                       {.spot = 100.0, .vol = row.vol, .rate = row.r, .carry = row.q.value_or(0.0)});
        EXPECT_EQ(out->price, ref.price);
        EXPECT_EQ(out->greeks.delta, ref.greeks.delta);
        EXPECT_EQ(out->greeks.gamma, ref.greeks.gamma);
        EXPECT_EQ(out->greeks.theta, ref.greeks.theta);
        ASSERT_TRUE(out->greeks.vega.has_value() && out->greeks.rho.has_value());
        EXPECT_EQ(*out->greeks.vega, *ref.greeks.vega);
        EXPECT_EQ(*out->greeks.rho, *ref.greeks.rho);
    }
}

// Pins the carry check of an American option priced in closed form: refused when r < q.
TEST(ValueOption, AmericanAnalyticRefusedOnlyWhenCarryExceedsRate) {
    const ConfigTable table = with_slot(American, Put, analytic_method());
    const auto option = make_option(Put, American, 100, 1.0);
    expect_error(value_option(option, make_market(100, 0.03, 0.2, 0.05), table, valuation_instant()),
                 ErrorKind::Panic, kAmericanAnalytic);
    // Without a borrow curve q = 0, so only a negative rate is refused.
    expect_error(value_option(option, make_market(100, -0.001, 0.2), table, valuation_instant()), ErrorKind::Panic,
                 kAmericanAnalytic);
    EXPECT_TRUE(value_option(option, make_market(100, 0.0, 0.2), table, valuation_instant()).ok());
    EXPECT_TRUE(value_option(option, make_market(100, 0.05, 0.2, 0.05), table, valuation_instant()).ok());
    // The European option in the same market is never refused.
    EXPECT_TRUE(value_option(make_option(Put, European, 100, 1.0), make_market(100, 0.03, 0.2, 0.05), table,
                             valuation_instant())
                    .ok());
}

// Pins the order of checks: the day-count mismatch before anything else.
TEST(ValueOption, DayCountMismatchComesFirst) {
    struct Row {
        DayCountConvention rates, vol;
        std::string text;
    };
    const Row rows[] = {
        {DayCountConvention::act365_fixed(), DayCountConvention::act360(), "Actual365Fixed, while Vol uses Actual360"},
        {DayCountConvention::thirty360(Thirty360Kind::GermanIsda), DayCountConvention::thirty360(Thirty360Kind::UsIsda),
         "Thirty360(GermanIsda), while Vol uses Thirty360(UnitedStatesIsda)"},
    };
    for (const Row& row : rows) {
        MarketRecord market{100.0, RateCurve::continuous(0.05, row.rates), VolSurface::flat(0.2, row.vol), {}, {}};
        const std::string message =
            "Mismatched day count conventions: Rates use " + row.text + ". They must be identical.";
        // Expired and American-analytic options still report the mismatch first.
        expect_error(value_option(make_option(Call, European, 100, -1.0), market, ConfigTable::defaults(),
                                  valuation_instant()),
                     ErrorKind::Value, message);
        market.borrow_curve = RateCurve::continuous(0.5, row.rates);
        expect_error(value_option(make_option(Put, American, 100, 1.0), market,
                                  with_slot(American, Put, analytic_method()), valuation_instant()),
                     ErrorKind::Value, message);
    }
    // The borrow curve's convention takes no part.
    MarketRecord market = make_market(100, 0.05, 0.2);
    market.borrow_curve = RateCurve::continuous(0.0, DayCountConvention::act360());
    EXPECT_TRUE(value_option(make_option(Call, European, 100, 1.0), market, ConfigTable::defaults(),
                             valuation_instant())
                    .ok());
}

// Pins the order of checks: the expiry before the carry check, for every method.
TEST(ValueOption, ExpiredOptionsRejectedByEitherMethod) {
    const auto market = make_market(100, 0.05, 0.2, 0.5);  // q > r: the expiry check comes first
    for (double years : {0.0, -0.5}) {
        for (ExerciseStyle style : {European, American}) {
            for (PricingMethod m : {analytic_method(), fdm_method(), PricingMethod{}}) {
                expect_error(value_option(make_option(Put, style, 100, years), market, with_slot(style, Put, m),
                                          valuation_instant()),
                             ErrorKind::Value, kExpired);
            }
        }
    }
    // One second before expiry is still priced.
    VanillaOption option = make_option(Call, European, 100, 0.0);
    EXPECT_TRUE(value_option(option, market, ConfigTable::defaults(), at_unix(kValuationSecs - 1)).ok());
}

FdmConfig fine_grid() {
    FdmConfig c;
    c.grid_nodes = 801;
    c.time_steps = 400;
    return c;
}

// Finite-difference slots reach the engine with the slot's settings, or the
// default settings when the slot has none, and the gathered market numbers.
// Pins which settings reach the engine: the slot's own, or the defaults.
TEST(ValueOption, FdmSlotsCallTheEngineWithTheirSettings) {
    const auto market = make_market(100, 0.04, 0.25, 0.01, {{at_unix(kValuationSecs + kSecsPerYear / 3), 1.5}});
    const Instant now = valuation_instant();
    FdmConfig custom;
    custom.grid_nodes = 201;
    custom.time_steps = 25;
    custom.transform = {TransformKind::Log, 0.0};
    struct Row {
        VanillaOption option;
        ConfigTable table;
        FdmConfig expected;
    };
    const Row rows[] = {
        {make_option(Put, American, 100, 1.0), ConfigTable::defaults(), FdmConfig{}},
        {make_option(Call, American, 90, 0.5), ConfigTable::defaults(), FdmConfig{}},
        {make_option(Call, European, 110, 1.0), with_slot(European, Call, fdm_method()), FdmConfig{}},
        {make_option(Put, European, 100, 1.0), with_slot(European, Put, fdm_method(custom)), custom},
    };
    for (const Row& row : rows) {
        const auto out = value_option(row.option, market, row.table, now);
        ASSERT_TRUE(out.ok()) << out.error().message;
        const double T = row.option.years_to_expiry(now);
        const auto ref =
            solve_fdm(row.option, market.dividends, now, row.expected,
                      MarketPoint{.spot = 100, .vol = 0.25, .rate = market.rate_curve.zero_rate(T), .carry = 0.01});
        ASSERT_TRUE(ref.ok());
        EXPECT_EQ(out->price, ref->price);
        EXPECT_EQ(out->greeks.delta, ref->greeks.delta);
        EXPECT_EQ(out->greeks.gamma, ref->greeks.gamma);
        EXPECT_EQ(out->greeks.theta, ref->greeks.theta);
        EXPECT_FALSE(out->greeks.vega.has_value());
        EXPECT_FALSE(out->greeks.rho.has_value());
    }
}

TEST(ValueOption, FdmAgreesWithClosedFormOnFineGrid) {
    const Instant now = valuation_instant();
    for (OptionType type : {Call, Put}) {
        for (double K : {80.0, 100.0, 125.0}) {
            const auto option = make_option(type, European, K, 1.0);
            const auto market = make_market(100, 0.05, 0.3, 0.02);
            const auto fd = value_option(option, market, with_slot(European, type, fdm_method(fine_grid())), now);
            const auto bs = value_option(option, market, ConfigTable::defaults(), now);
            ASSERT_TRUE(fd.ok() && bs.ok()) << fd.error().message;
            EXPECT_NEAR(fd->price, bs->price, 1e-2) << K;
            EXPECT_NEAR(fd->greeks.delta, bs->greeks.delta, 1e-3) << K;
            EXPECT_NEAR(fd->greeks.gamma, bs->greeks.gamma, 1e-4) << K;
            EXPECT_NEAR(fd->greeks.theta, bs->greeks.theta, 2e-2) << K;
        }
    }
}

TEST(ValueOption, EarlyExercisePremium) {
    const Instant now = valuation_instant();
    const auto market = make_market(100, 0.06, 0.25);
    const ConfigTable table = with_slot(European, Put, fdm_method(fine_grid()));
    ConfigTable fine = table;
    fine.slots[ConfigTable::slot_index(American, Put)] = fdm_method(fine_grid());
    fine.slots[ConfigTable::slot_index(American, Call)] = fdm_method(fine_grid());
    for (double K : {80.0, 100.0, 120.0}) {
        const auto am = value_option(make_option(Put, American, K, 1.0), market, fine, now);
        const auto eu = value_option(make_option(Put, European, K, 1.0), market, fine, now);
        ASSERT_TRUE(am.ok() && eu.ok());
        EXPECT_GE(am->price, eu->price) << K;
        EXPECT_GE(am->price, K - 100.0) << K;  // never below exercise value
        // Without carry an American call is worth its European value.
        const auto am_call = value_option(make_option(Call, American, K, 1.0), market, fine, now);
        const auto eu_call = value_option(make_option(Call, European, K, 1.0), market, ConfigTable::defaults(), now);
        EXPECT_NEAR(am_call->price, eu_call->price, 1e-2) << K;
    }
    // A deep in-the-money American put is exercised: worth its intrinsic value.
    const auto deep = value_option(make_option(Put, American, 200, 1.0), market, fine, now);
    EXPECT_NEAR(deep->price, 100.0, 1e-6);
}

// Pins a rule of this library: dividends reach the finite-difference engine only.
TEST(ValueOption, DividendsReachOnlyTheFdmEngine) {
    const Instant now = valuation_instant();
    const auto plain = make_market(100, 0.05, 0.2);
    const auto paying = make_market(100, 0.05, 0.2, std::nullopt, {{at_unix(kValuationSecs + kSecsPerYear / 2), 3.0}});
    const auto option = make_option(Call, European, 100, 1.0);
    const auto a0 = value_option(option, plain, ConfigTable::defaults(), now);
    const auto a1 = value_option(option, paying, ConfigTable::defaults(), now);
    EXPECT_EQ(a0->price, a1->price);
    const ConfigTable fd = with_slot(European, Call, fdm_method());
    const auto f0 = value_option(option, plain, fd, now);
    const auto f1 = value_option(option, paying, fd, now);
    ASSERT_TRUE(f0.ok() && f1.ok());
    EXPECT_LT(f1->price, f0->price - 1.0);  // a 3.0 dividend lowers the call by well over 1
}

// Pins that an engine failure passes through unchanged, kind and message.
TEST(ValueOption, EngineFailuresPassThrough) {
    FdmConfig tiny;
    tiny.grid_nodes = 1;
    const auto option = make_option(Put, American, 100, 1.0);
    expect_error(value_option(option, make_market(100, 0.05, 0.2), with_slot(American, Put, fdm_method(tiny)),
                              valuation_instant()),
                 ErrorKind::Panic, "TridiagonalOperator requires at least 3 elements, found 1");
    const auto cancelled = value_option(option, make_market(100, 0.05, 0.2), with_slot(American, Put, fdm_method(fine_grid())),
                                        valuation_instant(), CancelCheck{always_cancel, nullptr});
    ASSERT_FALSE(cancelled.ok());
    EXPECT_EQ(cancelled.error().kind, ErrorKind::Cancelled);
}

// Pins the analytic path's allocations: none.
TEST(ValueOption, AnalyticPathAllocatesNothing) {
    const auto option = make_option(Call, European, 105, 0.75);
    const auto market = make_market(100, 0.05, 0.2, 0.01);
    const ConfigTable& table = ConfigTable::defaults();
    const Instant now = valuation_instant();
    ASSERT_TRUE(value_option(option, market, table, now).ok());
    const long before = g_allocations;
    double sum = 0.0;
    for (int k = 0; k < 100; ++k) sum += value_option(option, market, table, now)->price;
    EXPECT_EQ(g_allocations - before, 0);
    EXPECT_GT(sum, 0.0);
    // The same holds for a whole analytic implied-volatility search.
    const double target =
        black_scholes(OptionType::Call, 105, 0.75, {.spot = 100, .vol = 0.45, .rate = 0.05, .carry = 0.01}).price;
    const long before_search = g_allocations;
    const auto vol = implied_volatility(option, market, table, now, target);
    EXPECT_EQ(g_allocations - before_search, 0);
    ASSERT_TRUE(vol.ok());
    EXPECT_NEAR(*vol, 0.45, 1e-4);
}

}  // namespace
