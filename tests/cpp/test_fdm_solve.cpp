#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <new>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "core/lanes.hpp"
#include "orchestration/exercise_boundary.hpp"
#include "orchestration/fdm.hpp"
#include "orchestration/fdm_combine.hpp"
#include "orchestration/fdm_grids.hpp"

namespace zub {
namespace {

constexpr double K = 100.0;

double norm_cdf(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }

struct ClosedForm {
    double price, delta, gamma;
};

ClosedForm black_scholes(OptionType type, double S, double T, double vol, double r, double q) {
    const double sd = vol * std::sqrt(T);
    const double d1 = (std::log(S / K) + (r - q + 0.5 * vol * vol) * T) / sd;
    const double d2 = d1 - sd;
    const double dq = std::exp(-q * T), dr = std::exp(-r * T);
    const double gamma = dq * std::exp(-0.5 * d1 * d1) / (std::sqrt(2.0 * M_PI) * S * sd);
    if (type == OptionType::Call) return {S * dq * norm_cdf(d1) - K * dr * norm_cdf(d2), dq * norm_cdf(d1), gamma};
    return {K * dr * norm_cdf(-d2) - S * dq * norm_cdf(-d1), -dq * norm_cdf(-d1), gamma};
}

FdmConfig grid(std::uint64_t nodes, std::uint64_t steps) {
    FdmConfig s;
    s.grid_nodes = nodes;
    s.time_steps = steps;
    return s;
}

OptionResult solve(OptionType type, ExerciseStyle style, const MarketPoint& m, const FdmConfig& s = {},
                   std::span<const DividendAt> divs = {}, double T = 1.0) {
    auto r = solve_fdm_in_years(type, style, K, T, divs, s, m);
    if (!r) throw std::runtime_error("solve failed: " + r.error().message);
    return *r;
}

const MarketPoint kAtm{.spot = 100.0, .vol = 0.2, .rate = 0.05, .carry = 0.0};

TEST(FdmSolve, EuropeanCallMatchesClosedFormAt801x400) {
    const OptionResult fd = solve(OptionType::Call, ExerciseStyle::European, kAtm, grid(801, 400));
    const ClosedForm bs = black_scholes(OptionType::Call, 100.0, 1.0, 0.2, 0.05, 0.0);
    EXPECT_NEAR(fd.price, bs.price, 5e-7 * bs.price);
    EXPECT_NEAR(fd.greeks.delta, bs.delta, 1e-5);
    EXPECT_NEAR(fd.greeks.gamma, bs.gamma, 1e-5);
    // theta = -(r K e^{-rT} N(d2) + sigma S phi(d1) / (2 sqrt T)) for q = 0
    const double d1 = (0.05 + 0.02) / 0.2, d2 = d1 - 0.2;
    const double theta = -(0.05 * K * std::exp(-0.05) * norm_cdf(d2) +
                           0.2 * 100.0 * std::exp(-0.5 * d1 * d1) / std::sqrt(2.0 * M_PI) / 2.0);
    EXPECT_NEAR(fd.greeks.theta, theta, 1e-3);
    EXPECT_FALSE(fd.greeks.vega.has_value());
    EXPECT_FALSE(fd.greeks.rho.has_value());
}

// Relative error to the closed form falls roughly fourfold per halving of
// the node spacing (time steps refined alongside).
TEST(FdmSolve, EuropeanPricesConvergeToClosedForm) {
    for (OptionType type : {OptionType::Call, OptionType::Put}) {
        for (double q : {0.0, 0.03}) {
            for (double S : {90.0, 100.0, 110.0}) {
                const MarketPoint m{.spot = S, .vol = 0.2, .rate = 0.05, .carry = q};
                const double exact = black_scholes(type, S, 1.0, 0.2, 0.05, q).price;
                auto rel = [&](std::uint64_t n) {
                    return std::abs(solve(type, ExerciseStyle::European, m, grid(n, n / 2)).price / exact - 1.0);
                };
                const double coarse = rel(101), fine = rel(801);
                SCOPED_TRACE(testing::Message() << (type == OptionType::Call ? "call" : "put") << " q=" << q
                                                << " S=" << S);
                EXPECT_LT(fine, 1e-5);
                EXPECT_LT(fine, coarse / 8.0);
            }
        }
    }
}

TEST(FdmSolve, DefaultAmericanCallWithoutCarryIsEuropean) {
    const OptionResult amer = solve(OptionType::Call, ExerciseStyle::American, kAtm);
    const OptionResult euro = solve(OptionType::Call, ExerciseStyle::European, kAtm);
    const double exact = black_scholes(OptionType::Call, 100.0, 1.0, 0.2, 0.05, 0.0).price;
    EXPECT_NEAR(amer.price, exact, 1e-4 * exact);
    EXPECT_NEAR(amer.price, euro.price, 1e-12);
}

TEST(FdmSolve, AmericanPutDominatesEuropeanAndIntrinsic) {
    for (double q : {0.0, 0.04}) {
        for (double S : {50.0, 80.0, 95.0, 100.0, 105.0, 130.0, 400.0}) {
            const MarketPoint m{.spot = S, .vol = 0.25, .rate = 0.06, .carry = q};
            const double amer = solve(OptionType::Put, ExerciseStyle::American, m, grid(201, 100)).price;
            const double euro = solve(OptionType::Put, ExerciseStyle::European, m, grid(201, 100)).price;
            SCOPED_TRACE(testing::Message() << "S=" << S << " q=" << q);
            EXPECT_GE(amer, euro - 1e-12);
            EXPECT_GE(amer, K - S - 1e-12);
            if (S <= 100.0) {
                EXPECT_GT(amer, euro + 1e-3);
            }
        }
    }
    // Deep in the money and inside the exercise region, the put is worth
    // its exercise value.
    EXPECT_NEAR(solve(OptionType::Put, ExerciseStyle::American, {70.0, 0.2, 0.05, 0.0}).price, 30.0, 1e-9);
}

// The middle node sits on the strike only up to rounding, on one side or
// the other as the volatility changes the grid.  The default American put
// must not jump with it: across a fine sweep of volatilities (which puts
// the node below the strike at 0.2265, for one) the price stays smooth.
TEST(FdmSolve, AmericanPutIsSmoothInVolatilityWhateverSideTheStrikeNodeRounds) {
    std::vector<double> p;
    for (int k = 0; k <= 100; ++k) {
        p.push_back(solve(OptionType::Put, ExerciseStyle::American, {100.0, 0.2 + 0.0005 * k, 0.05, 0.0}).price);
    }
    for (std::size_t k = 1; k + 1 < p.size(); ++k) {
        EXPECT_LT(std::abs(p[k + 1] - 2.0 * p[k] + p[k - 1]), 0.02) << "vol " << 0.2 + 0.0005 * double(k);
    }
}

TEST(FdmSolve, SpotOutsideTheGridExtendsTheEndPieces) {
    const OptionResult far = solve(OptionType::Put, ExerciseStyle::European, {1000.0, 0.2, 0.05, 0.0});
    EXPECT_TRUE(std::isfinite(far.price));
    EXPECT_TRUE(std::isfinite(far.greeks.delta));
    EXPECT_NEAR(far.price, 0.0, 1e-3);
}

// Short-dated, spots far from the strike: within the no-arbitrage bounds.
TEST(FdmSolve, ShortDatedPricesKeepTheNoArbitrageBounds) {
    for (auto [type, phi] : {std::pair{OptionType::Call, 1.0}, {OptionType::Put, -1.0}}) {
        for (ExerciseStyle style : {ExerciseStyle::European, ExerciseStyle::American}) {
            for (std::size_t k = 0; k < 12; ++k) {  // 1 and 7 days, spots 70 to 130
                const double T = (k < 6 ? 1.0 : 7.0) / 365.0, S = std::array{70, 80, 90, 110, 120, 130}[k % 6];
                const OptionResult r = solve(type, style, {S, 0.2, 0.05, 0.0}, {}, {}, T);
                const bool floored = style == ExerciseStyle::American && r.price <= phi * (S - K);
                EXPECT_TRUE(r.price >= std::max(phi * (S - K * std::exp(-0.05 * T)), 0.0) - 1e-4 &&
                            r.price <= (phi > 0.0 ? S : K) && std::abs(r.greeks.delta) <= 1.002 &&
                            (!floored || (r.price == phi * (S - K) && std::abs(r.greeks.delta - phi) < 1e-6)))
                    << phi << " " << int(style) << " " << T << " " << S << ": " << r.price;
            }
        }
    }
}

// At-the-money calls far past sigma sqrt(T) = 1; without carry American is European.
TEST(FdmSolve, HighVolatilityCallsStayNearTheClosedForm) {
    for (double T : {1.0, 2.0, 5.0}) {
        for (double vol : {1.5, 2.0, 3.0, 5.0}) {
            const double euro = solve(OptionType::Call, ExerciseStyle::European, {100.0, vol, 0.03, 0.0}, {}, {}, T).price;
            EXPECT_NEAR(euro, black_scholes(OptionType::Call, 100.0, T, vol, 0.03, 0.0).price, 0.01 * euro) << T << vol;
            EXPECT_EQ(solve(OptionType::Call, ExerciseStyle::American, {100.0, vol, 0.03, 0.0}, {}, {}, T).price, euro);
        }
    }
}

// Three-year calls with q > r and their mirror-image puts keep their premium.
TEST(FdmSolve, AmericanCallsKeepTheirPremiumAsTheirMirrorPutsDo) {
    for (auto [vol, r, reference] : {std::tuple{0.4, 0.03, 32.780988}, {0.2, 0.03, 21.413869}, {0.3, 1e-5, 24.791316}}) {
        const double euro = black_scholes(OptionType::Call, 120.0, 3.0, vol, r, 0.07).price;
        const double call = solve(OptionType::Call, ExerciseStyle::American, {120.0, vol, r, 0.07}, grid(101, 100), {}, 3.0).price;
        const double put = solve_fdm_in_years(OptionType::Put, ExerciseStyle::American, 120.0, 3.0, {}, grid(101, 100),
                                              {100.0, vol, 0.07, r})->price;
        for (double p : {call, put}) EXPECT_NEAR((p - euro) / (reference - euro), 1.0, 0.1) << vol << " " << r;
    }
}

// Every positive dividend inside the option's life is applied once at its
// own time; dividends at one time make one jump of their sum.
// Pins a rule of this library: dividends on one date make one jump of their sum.
TEST(FdmDividends, SameDateDividendsAddUp) {
    const std::vector<DividendAt> two{{0.4, 1.0}, {0.4, 1.0}};
    const std::vector<DividendAt> one{{0.4, 2.0}};
    for (OptionType type : {OptionType::Call, OptionType::Put}) {
        for (ExerciseStyle style : {ExerciseStyle::European, ExerciseStyle::American}) {
            const OptionResult a = solve(type, style, kAtm, {}, two);
            const OptionResult b = solve(type, style, kAtm, {}, one);
            EXPECT_EQ(a.price, b.price);
            EXPECT_EQ(a.greeks.delta, b.greeks.delta);
            EXPECT_EQ(a.greeks.gamma, b.greeks.gamma);
            EXPECT_EQ(a.greeks.theta, b.greeks.theta);
        }
    }
}

// Pins a rule of this library: distinct dividend dates, however close, are never merged.
TEST(FdmDividends, CloseButDistinctDatesAreEachAppliedOnce) {
    const FdmConfig s = grid(401, 400);
    const std::vector<DividendAt> close{{0.5 + 1e-7, 1.0}, {0.5, 0.5}};
    const std::vector<DividendAt> sum{{0.5, 1.5}};
    const std::vector<DividendAt> first_twice{{0.5, 2.0}};
    for (OptionType type : {OptionType::Call, OptionType::Put}) {
        const double p_close = solve(type, ExerciseStyle::American, kAtm, s, close).price;
        EXPECT_NEAR(p_close, solve(type, ExerciseStyle::American, kAtm, s, sum).price, 1e-6);
        EXPECT_GT(std::abs(p_close - solve(type, ExerciseStyle::American, kAtm, s, first_twice).price), 0.1);
    }
}

// Pins which dividends are ignored: non-positive amounts, and dates outside the option's life.
TEST(FdmDividends, NonPositiveAmountsAndOutsideDatesAreIgnored) {
    const OptionResult none = solve(OptionType::Put, ExerciseStyle::American, kAtm);
    const OptionResult zero = solve(OptionType::Put, ExerciseStyle::American, kAtm, {}, std::vector<DividendAt>{{0.3, 0.0}});
    for (double amount : {-1.0, std::nan("")}) {
        const std::vector<DividendAt> d{{0.3, amount}};
        EXPECT_EQ(solve(OptionType::Put, ExerciseStyle::American, kAtm, {}, d).price, zero.price) << amount;
    }
    // The stop time stays and only splits the steps: same price up to time error.
    EXPECT_NEAR(zero.price, none.price, 2e-3);
    for (double t : {0.0, -0.2, 1.0, 1.5}) {
        const std::vector<DividendAt> d{{t, 5.0}};
        EXPECT_EQ(solve(OptionType::Put, ExerciseStyle::American, kAtm, {}, d).price, none.price) << t;
    }
}

// Without carry, C - P = S - D e^{-r t} - K e^{-rT} whatever the dividend time.
TEST(FdmDividends, EuropeanParityWithADividend) {
    const FdmConfig s = grid(401, 400);
    for (double t : {0.1, 0.5, 0.9}) {
        const std::vector<DividendAt> d{{t, 3.0}};
        const double c = solve(OptionType::Call, ExerciseStyle::European, kAtm, s, d).price;
        const double p = solve(OptionType::Put, ExerciseStyle::European, kAtm, s, d).price;
        EXPECT_NEAR(c - p, 100.0 - 3.0 * std::exp(-0.05 * t) - K * std::exp(-0.05), 2e-4) << t;
        EXPECT_LT(c, black_scholes(OptionType::Call, 100.0, 1.0, 0.2, 0.05, 0.0).price - 1.0);
    }
}

TEST(FdmDividends, AmericanPutWithDividendsStaysAboveEuropeanAndIntrinsic) {
    const std::vector<DividendAt> d{{0.25, 2.0}, {0.75, 2.0}};
    for (double S : {80.0, 100.0, 120.0}) {
        const MarketPoint m{.spot = S, .vol = 0.2, .rate = 0.05, .carry = 0.0};
        const double amer = solve(OptionType::Put, ExerciseStyle::American, m, grid(201, 100), d).price;
        const double euro = solve(OptionType::Put, ExerciseStyle::European, m, grid(201, 100), d).price;
        EXPECT_GE(amer, euro);
        EXPECT_GE(amer, K - S);
        EXPECT_GT(euro, solve(OptionType::Put, ExerciseStyle::European, m, grid(201, 100)).price);
    }
}

// Pins the instant path's year fractions and the engine's text for an expired option.
TEST(FdmSolve, InstantsGiveTheSameSolveAsYearFractions) {
    const Instant valuation = *Instant::from_unix(1'700'000'000, 0);
    VanillaOption option{K, *Instant::from_unix(1'700'000'000 + 31'536'000, 0), OptionType::Put,
                         ExerciseStyle::American};
    const std::vector<Dividend> divs{{*Instant::from_unix(1'700'000'000 + 8'199'360, 0), 1.5}};
    const std::vector<DividendAt> in_years{{0.26, 1.5}};
    auto a = solve_fdm(option, divs, valuation, FdmConfig{}, kAtm);
    auto b = solve_fdm_in_years(OptionType::Put, ExerciseStyle::American, K, 1.0, in_years, FdmConfig{}, kAtm);
    ASSERT_TRUE(a.ok());
    ASSERT_TRUE(b.ok());
    EXPECT_EQ(a->price, b->price);
    EXPECT_EQ(a->greeks.theta, b->greeks.theta);

    option.expiry = valuation;
    auto expired = solve_fdm(option, divs, valuation, FdmConfig{}, kAtm);
    ASSERT_FALSE(expired.ok());
    EXPECT_EQ(expired.error().message, "Solver never ran");
}

// Groups of every size, one workspace after another (its factor copies
// must follow each group's operators), give each lane its single solve's bits.
TEST(FdmLanes, EveryGroupSizeMatchesSingleSolves) {
    FdmLaneWorkspace ws;
    for (const FdmConfig& settings : {grid(101, 10), grid(57, 25)}) {
        for (std::size_t count = 1; count <= kMaxLanes; ++count) {
            std::vector<FdmLane> lanes;
            for (std::size_t k = 0; k < count; ++k) {
                const double x = static_cast<double>(count * 7 + k);
                lanes.push_back({k % 3 == 0 ? OptionType::Call : OptionType::Put,
                                 count % 2 == 0 || k % 2 == 0 ? ExerciseStyle::American : ExerciseStyle::European,
                                 70.0 + 3.0 * x,
                                 0.1 + 0.05 * x, {.spot = 100.0, .vol = 0.1 + 0.02 * x, .rate = 0.04, .carry = 0.01}});
            }
            std::vector<std::optional<Outcome<OptionResult>>> out(count);
            solve_fdm_block(lanes, {}, settings, {}, out, &ws);
            for (std::size_t k = 0; k < count; ++k) {
                const FdmLane& l = lanes[k];
                const auto alone = solve_fdm_in_years(l.type, l.style, l.strike, l.T, {}, settings, l.market);
                ASSERT_TRUE(alone.ok() && out[k]->ok()) << count << " " << k;
                EXPECT_EQ(std::bit_cast<std::uint64_t>((*out[k])->price), std::bit_cast<std::uint64_t>(alone->price));
                EXPECT_EQ(std::bit_cast<std::uint64_t>((*out[k])->greeks.gamma),
                          std::bit_cast<std::uint64_t>(alone->greeks.gamma));
            }
        }
    }
}

// Early exercise only adds value: an American option is worth at least its
// exercise value and the European option priced by the same grid solves,
// whatever the signs of r and q (up to rounding).
TEST(FdmSolve, AmericanNeverBelowEuropeanOrExercise) {
    const double rates[] = {-0.03, -0.01, 0.0, 0.02, 0.05, 0.1};
    for (OptionType type : {OptionType::Call, OptionType::Put}) {
        for (double r : rates) {
            for (double q : rates) {
                for (auto [vol, T] : {std::pair{0.1, 0.1}, std::pair{0.3, 1.0}, std::pair{1.2, 3.0}}) {
                    for (double S : {70.0, 97.0, 100.0, 104.0, 140.0}) {
                        const MarketPoint m{.spot = S, .vol = vol, .rate = r, .carry = q};
                        const OptionResult american = solve(type, ExerciseStyle::American, m, {}, {}, T);
                        FdmPlan plan = plan_fdm(type, ExerciseStyle::American, K, T, false, {}, m);
                        plan.american = false;
                        std::array<std::optional<Outcome<OptionResult>>, 2> own;
                        for (std::size_t k = 0; k < plan.count; ++k) {
                            GridSolve european = plan.solves[k];
                            european.scheme = ExerciseStyle::European;
                            european.how.phi = 0.0;
                            solve_grids({&european, 1}, {}, FdmConfig{}, {}, {&own[k], 1});
                        }
                        const double floor = std::max(combine_fdm(plan, own)->price, (S - K) * (type == OptionType::Call ? 1 : -1));
                        EXPECT_GE(american.price, floor - 1e-10) << int(type) << " r " << r << " q " << q << " S " << S << " T " << T;
                    }
                }
            }
        }
    }
}

// A call blended with its mirror put (1 < sigma sqrt T < 2) reports the time
// derivative of its blended price, weights included.  On the default grid
// each grid's own theta and time derivative still differ by up to ~0.1 a
// year here; without the weights' derivative the blend is off by up to 0.3.
TEST(FdmSolve, BlendedThetaFollowsThePriceInTime) {
    const double h = 1.0 / 365.0;
    for (ExerciseStyle style : {ExerciseStyle::American, ExerciseStyle::European}) {
        for (double vol : {1.3, 1.5, 1.7}) {
            for (double S : {80.0, 100.0, 130.0}) {
                const MarketPoint m{.spot = S, .vol = vol, .rate = 0.03, .carry = 0.01};
                const double later = solve(OptionType::Call, style, m, {}, {}, 1.0 - h).price;
                const double earlier = solve(OptionType::Call, style, m, {}, {}, 1.0 + h).price;
                const double theta = solve(OptionType::Call, style, m).greeks.theta;
                EXPECT_NEAR(theta, (later - earlier) / (2.0 * h), 0.12) << int(style) << " " << vol << " " << S;
            }
        }
    }
}

// A call with a carry below the rate (q/r = 0.4) is exercised early far
// above the strike; priced through its mirror put it keeps that premium
// (0.055 to 0.072 here), against the exercise-boundary method's price.
TEST(FdmSolve, CallWithACarryBelowTheRateKeepsItsPremium) {
    for (double vol : {0.9, 0.95, 0.99}) {
        const MarketPoint m{.spot = 100.0, .vol = vol, .rate = 0.05, .carry = 0.02};
        const double reference = american_exercise_boundary(OptionType::Call, K, 1.0, m, 1e-10).price;
        EXPECT_NEAR(solve(OptionType::Call, ExerciseStyle::American, m, grid(401, 200)).price, reference, 1e-3) << vol;
    }
}

// An American grid is read off its excess over the exercise value, which is
// smooth where the value itself has a kink: on a spot scan through the
// put's exercise boundary delta moves in small steps (0.04 when the
// values themselves were read off).
TEST(FdmSolve, AmericanDeltaMovesSmoothlyThroughTheBoundary) {
    double previous = -1.0;
    for (double S = 80.0; S <= 95.0; S += 0.01) {
        const double delta =
            solve(OptionType::Put, ExerciseStyle::American, {.spot = S, .vol = 0.2, .rate = 0.05, .carry = 0.0})
                .greeks.delta;
        EXPECT_LT(std::abs(delta - previous), 3e-3) << S;
        previous = delta;
    }
}

// Pins the operator's message for fewer than three nodes.
TEST(FdmFailures, TooFewNodes) {
    for (std::uint64_t n : {0u, 1u, 2u}) {
        auto r = solve_fdm_in_years(OptionType::Call, ExerciseStyle::European, K, 1.0, {}, grid(n, 10), kAtm);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind, ErrorKind::Panic);
        EXPECT_EQ(r.error().message, "TridiagonalOperator requires at least 3 elements, found " + std::to_string(n));
    }
}

// Pins the engine's message when no step is taken.
TEST(FdmFailures, NoTimeToStep) {
    for (double T : {0.0, -0.5, std::nan("")}) {
        auto r = solve_fdm_in_years(OptionType::Put, ExerciseStyle::American, K, T, {}, FdmConfig{}, kAtm);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind, ErrorKind::Panic);
        EXPECT_EQ(r.error().message, "Solver never ran");
    }
}

// Pins how absurd settings end: an allocation failure for the node count, no error for the width.
TEST(FdmFailures, AbsurdGridsEndCleanly) {
    EXPECT_THROW((void)solve_fdm_in_years(OptionType::Put, ExerciseStyle::American, K, 1.0, {},
                                          grid(std::uint64_t{1} << 40, 10), kAtm),
                 std::bad_alloc);
    EXPECT_THROW((void)solve_fdm_in_years(OptionType::Put, ExerciseStyle::American, K, 1.0, {},
                                          grid(~std::uint64_t{0}, 10), kAtm),
                 std::bad_alloc);
    for (double width : {std::nan(""), -4.0, 0.0, HUGE_VAL}) {
        FdmConfig s;
        s.grid_std_devs = width;
        for (ExerciseStyle style : {ExerciseStyle::European, ExerciseStyle::American}) {
            auto r = solve_fdm_in_years(OptionType::Put, style, K, 1.0, std::vector<DividendAt>{{0.5, 1.0}}, s, kAtm);
            EXPECT_TRUE(r.ok()) << width;  // nonsense numbers, but no failure and no stray access
        }
    }
}

struct PollCounter {
    std::uint64_t polls = 0;
    std::uint64_t cancel_at = ~std::uint64_t{0};
    static bool poll(void* self) {
        auto* c = static_cast<PollCounter*>(self);
        return ++c->polls >= c->cancel_at;
    }
    CancelCheck check() { return {&PollCounter::poll, this}; }
};

// Pins cancellation: the solve stops at the first poll that asks it to.
TEST(FdmCancel, EndlessStepBudgetIsCancelled) {
    PollCounter counter;
    counter.cancel_at = 50;
    FdmConfig s = grid(3, 1'000'000'000'000);
    auto r = solve_fdm_in_years(OptionType::Put, ExerciseStyle::American, K, 1.0, {}, s, kAtm, counter.check());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ErrorKind::Cancelled);
    EXPECT_EQ(counter.polls, 50u);
}

// Pins the polling interval: about one poll per few thousand node-steps.
TEST(FdmCancel, PollsOncePerFewThousandNodeSteps) {
    PollCounter counter;
    auto r = solve_fdm_in_years(OptionType::Put, ExerciseStyle::American, K, 1.0, {}, grid(401, 400), kAtm,
                                counter.check());
    ASSERT_TRUE(r.ok());
    // 401 x 400 node-steps: a poll every ten or eleven steps.
    EXPECT_GE(counter.polls, 20u);
    EXPECT_LE(counter.polls, 80u);
}

}  // namespace
}  // namespace zub
