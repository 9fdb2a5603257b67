#include <gtest/gtest.h>

#include <cmath>

#include "execution/valuation.hpp"
#include "orchestration/analytic.hpp"
#include "orchestration/exercise_boundary.hpp"
#include "pricing_fixture.hpp"

namespace {

using zub::american_exercise_boundary;
using zub::OptionType;
constexpr auto C = OptionType::Call;
constexpr auto P = OptionType::Put;

zub::OptionResult price(OptionType type, double S, double K, double T, double r, double q, double sigma,
                        double tolerance = 1e-6) {
    return american_exercise_boundary(type, K, T, {.spot = S, .vol = sigma, .rate = r, .carry = q}, tolerance);
}

struct Reference {
    OptionType type;
    double S, K, T, r, q, sigma, price;
};

// QuantLib 1.44's QdFpAmericanEngine (FP-A, tanh-sinh iteration schemes with
// (m, n, eps) = (16, 64, 1e-14) and (24, 96, 1e-15), agreeing to 5e-12 K),
// run as a black box; the second setting's prices.  Longstaff-Schwartz's 20
// puts, Andersen-Lake-Offengenden's two, ten 3-year calls with q > r, and
// maturities from a day to 10 years, sigma 0.2 to 3, S/K 0.5 and 2, r or q 0.
const Reference kReferences[] = {
    {P, 36, 40, 365 / 365.0, 0.06, 0.0, 0.2, 4.48667435673268},
    {P, 38, 40, 365 / 365.0, 0.06, 0.0, 0.2, 3.25719649842263},
    {P, 40, 40, 365 / 365.0, 0.06, 0.0, 0.2, 2.31957424859322},
    {P, 42, 40, 365 / 365.0, 0.06, 0.0, 0.2, 1.62115528128496},
    {P, 44, 40, 365 / 365.0, 0.06, 0.0, 0.2, 1.11296212179322},
    {P, 36, 40, 365 / 365.0, 0.06, 0.0, 0.4, 7.10898027984354},
    {P, 38, 40, 365 / 365.0, 0.06, 0.0, 0.4, 6.15458977376767},
    {P, 40, 40, 365 / 365.0, 0.06, 0.0, 0.4, 5.31829383522884},
    {P, 42, 40, 365 / 365.0, 0.06, 0.0, 0.4, 4.58816011934155},
    {P, 44, 40, 365 / 365.0, 0.06, 0.0, 0.4, 3.95278486600758},
    {P, 36, 40, 730 / 365.0, 0.06, 0.0, 0.2, 4.84830379961734},
    {P, 38, 40, 730 / 365.0, 0.06, 0.0, 0.2, 3.75138064164421},
    {P, 40, 40, 730 / 365.0, 0.06, 0.0, 0.2, 2.88995116039418},
    {P, 42, 40, 730 / 365.0, 0.06, 0.0, 0.2, 2.21672384224989},
    {P, 44, 40, 730 / 365.0, 0.06, 0.0, 0.2, 1.69333038436346},
    {P, 36, 40, 730 / 365.0, 0.06, 0.0, 0.4, 8.51418487743204},
    {P, 38, 40, 730 / 365.0, 0.06, 0.0, 0.4, 7.67490567804744},
    {P, 40, 40, 730 / 365.0, 0.06, 0.0, 0.4, 6.92345760994006},
    {P, 42, 40, 730 / 365.0, 0.06, 0.0, 0.4, 6.25023615217409},
    {P, 44, 40, 730 / 365.0, 0.06, 0.0, 0.4, 5.64673132723435},
    {P, 100, 100, 365 / 365.0, 0.05, 0.05, 0.25, 9.56944529891401},
    {P, 100, 100, 365 / 365.0, 0.075, 0.05, 0.25, 8.58493573642718},
    {C, 100, 80, 1095 / 365.0, 0.02, 0.06, 0.2, 20.4973774108346},
    {C, 100, 90, 1095 / 365.0, 0.02, 0.06, 0.2, 13.7564852972884},
    {C, 100, 100, 1095 / 365.0, 0.02, 0.06, 0.2, 9.19229002301466},
    {C, 100, 110, 1095 / 365.0, 0.02, 0.06, 0.2, 6.11254081067331},
    {C, 100, 120, 1095 / 365.0, 0.02, 0.06, 0.2, 4.04763470464157},
    {C, 100, 80, 1095 / 365.0, 0.02, 0.06, 0.35, 26.795258691545},
    {C, 100, 90, 1095 / 365.0, 0.02, 0.06, 0.35, 22.0071049989019},
    {C, 100, 100, 1095 / 365.0, 0.02, 0.06, 0.35, 18.1583096387018},
    {C, 100, 110, 1095 / 365.0, 0.02, 0.06, 0.35, 15.0460645882824},
    {C, 100, 120, 1095 / 365.0, 0.02, 0.06, 0.35, 12.5168069004541},
    {P, 100, 100, 7 / 365.0, 0.05, 0.0, 0.2, 1.0629644264341},
    {P, 100, 100, 1 / 365.0, 0.05, 0.0, 0.3, 0.620198092570894},
    {P, 100, 100, 3650 / 365.0, 0.05, 0.02, 0.3, 22.7421875400031},
    {P, 100, 100, 365 / 365.0, 0.05, 0.0, 3.0, 83.5629458668938},
    {P, 50, 100, 365 / 365.0, 0.05, 0.01, 0.6, 50.6889727956835},
    {P, 200, 100, 730 / 365.0, 0.05, 0.0, 0.4, 2.80215583495649},
    {P, 100, 100, 365 / 365.0, 0.0, -0.03, 0.25, 8.84705644586831},
    {C, 100, 100, 365 / 365.0, 0.0, 0.04, 0.25, 8.31312896155501},
    {P, 100, 100, 182 / 365.0, 0.04, 0.0, 0.3, 7.57524236786568},
    {C, 100, 100, 3650 / 365.0, 0.05, 0.1, 0.15, 6.35257446161842},
    {P, 100, 80, 1825 / 365.0, 0.03, 0.01, 1.5, 65.4467944207704},
    {C, 100, 50, 365 / 365.0, 0.03, 0.07, 0.3, 50},
    {C, 100, 200, 730 / 365.0, 0.01, 0.05, 0.5, 6.4698438535889},
};

TEST(ExerciseBoundary, ReferencePrices) {
    for (const auto& [tolerance, bound] : {std::pair{1e-6, 1e-6}, std::pair{1e-10, 1e-9}}) {
        for (const Reference& c : kReferences) {
            EXPECT_NEAR(price(c.type, c.S, c.K, c.T, c.r, c.q, c.sigma, tolerance).price, c.price, bound * c.K)
                << c.S << " " << c.K << " " << c.T << " " << c.r << " " << c.q << " " << c.sigma << " at " << tolerance;
        }
    }
}

// The implied volatility of each reference quote, with the default search and
// tolerance, within (1e-4 + 1e-6 K) / vega of the volatility that made it: the
// quote's own error plus the engine's.  Quotes at the exercise value have none.
TEST(ExerciseBoundary, ImpliedVolOfReferenceQuotes) {
    for (const Reference& c : kReferences) {
        const auto res = price(c.type, c.S, c.K, c.T, c.r, c.q, c.sigma);
        if (res.greeks.gamma == 0.0) continue;
        const auto config = zub::testing::with_slot(zub::testing::American, c.type,
                                                    {zub::PricingMethod::Kind::ExerciseBoundary, {}, {}});
        const auto vol = zub::implied_volatility(zub::testing::make_option(c.type, zub::testing::American, c.K, c.T),
                                                 zub::testing::make_market(c.S, c.r, 0.3, c.q), config,
                                                 zub::testing::valuation_instant(), c.price);
        ASSERT_TRUE(vol.ok()) << c.S << " " << c.K << " " << c.T << " " << vol.error().message;
        EXPECT_NEAR(*vol, c.sigma, (1e-4 + 1e-6 * c.K) / *res.greeks.vega) << c.S << " " << c.K << " " << c.T;
    }
}

// Every Greek against a central difference of the price; theta is minus the
// derivative in T.
TEST(ExerciseBoundary, GreeksMatchCentralDifferences) {
    const Reference cases[] = {{P, 36, 40, 1, 0.06, 0.0, 0.2, 0}, {C, 100, 90, 3, 0.02, 0.06, 0.35, 0},
                               {P, 100, 100, 1, 0.01, -0.03, 0.25, 0}, {C, 100, 100, 0.1, 0.03, 0.05, 0.6, 0}};
    for (const Reference& c : cases) {
        const auto at = [&](double S, double T, double r, double q, double sigma) {
            return price(c.type, S, c.K, T, r, q, sigma, 1e-10).price;
        };
        const auto g = price(c.type, c.S, c.K, c.T, c.r, c.q, c.sigma, 1e-10).greeks;
        const double hd = 1e-4 * c.S, hs = 1e-3 * c.S, h = 1e-5, p0 = at(c.S, c.T, c.r, c.q, c.sigma);
        const auto near = [&](double greek, double difference) {
            EXPECT_NEAR(greek, difference, std::fmax(1e-6 * std::fabs(difference), 1e-9 * c.K)) << c.S << " " << c.K;
        };
        near(g.delta, (at(c.S + hd, c.T, c.r, c.q, c.sigma) - at(c.S - hd, c.T, c.r, c.q, c.sigma)) / (2 * hd));
        near(g.gamma, (at(c.S + hs, c.T, c.r, c.q, c.sigma) - 2 * p0 + at(c.S - hs, c.T, c.r, c.q, c.sigma)) / (hs * hs));
        near(g.theta, -(at(c.S, c.T + h, c.r, c.q, c.sigma) - at(c.S, c.T - h, c.r, c.q, c.sigma)) / (2 * h));
        near(*g.vega, (at(c.S, c.T, c.r, c.q, c.sigma + h) - at(c.S, c.T, c.r, c.q, c.sigma - h)) / (2 * h));
        near(*g.rho, (at(c.S, c.T, c.r + h, c.q, c.sigma) - at(c.S, c.T, c.r - h, c.q, c.sigma)) / (2 * h));
    }
}

// Price non-decreasing in sigma and in T; through the boundary in S, at
// every tolerance, no jump (the price moves by at most |dS|), gamma >= 0 and theta <= 0.
TEST(ExerciseBoundary, MonotoneScans) {
    for (OptionType type : {P, C}) {
        const double r = type == P ? 0.06 : 0.02, q = type == P ? 0.01 : 0.07;
        double last = 0.0;
        for (double sigma = 0.05; sigma <= 3.0; sigma += 0.05) {
            const double v = price(type, 100, 100, 1, r, q, sigma).price;
            EXPECT_GE(v, last - 1e-12) << sigma;
            last = v;
        }
        last = 0.0;
        for (double T = 1.0 / 365; T <= 10.0; T *= 1.25) {
            const double v = price(type, 100, 100, T, r, q, 0.3).price;
            EXPECT_GE(v, last - 1e-12) << T;
            last = v;
        }
        for (double tolerance : {1e-4, 1e-6, 1e-8, 1e-10}) {
            double last_s = 0.0;
            last = NAN;
            for (double S = 50; S <= 200; S += 0.25) {
                const auto res = price(type, S, 100, 1, r, q, 0.3, tolerance);
                EXPECT_GE(res.greeks.gamma, -1e-9) << S;
                EXPECT_LE(res.greeks.theta, 1e-9) << S;
                if (!std::isnan(last)) {
                    EXPECT_LE(std::fabs(res.price - last), (S - last_s) * (1.0 + 1e-6)) << S;
                }
                last = res.price;
                last_s = S;
            }
        }
    }
}

TEST(ExerciseBoundary, ExerciseRegionIsExerciseValue) {
    const auto put = price(P, 50, 100, 1, 0.05, 0.0, 0.2);
    const auto call = price(C, 200, 100, 1, 0.0, 0.1, 0.2);
    for (const auto& [res, value, delta] : {std::tuple{put, 50.0, -1.0}, std::tuple{call, 100.0, 1.0}}) {
        EXPECT_EQ(res.price, value);
        EXPECT_EQ(res.greeks.delta, delta);
        EXPECT_EQ(res.greeks.gamma, 0.0);
        EXPECT_EQ(res.greeks.theta, 0.0);
        EXPECT_EQ(*res.greeks.vega, 0.0);
        EXPECT_EQ(*res.greeks.rho, 0.0);
    }
}

// r <= 0 <= q - r: never exercised, the European closed form; approaching
// r = 0 from above the premium vanishes continuously.  q < r < 0 (two
// boundaries) is not priced.
TEST(ExerciseBoundary, NeverExercisedAndTwoBoundaries) {
    for (const auto& [type, r, q] : {std::tuple{P, 0.0, 0.0}, std::tuple{P, -0.01, 0.02}, std::tuple{C, 0.03, 0.0},
                                    std::tuple{C, 0.02, -0.01}}) {
        const auto res = price(type, 95, 100, 2, r, q, 0.3);
        EXPECT_EQ(res.price, zub::black_scholes(type, 100, 2, {.spot = 95, .vol = 0.3, .rate = r, .carry = q}).price);
    }
    const double euro = zub::black_scholes(P, 100, 1, {.spot = 100, .vol = 0.3, .rate = 0.0, .carry = 0.02}).price;
    EXPECT_NEAR(price(P, 100, 100, 1, 1e-7, 0.02, 0.3).price, euro, 1e-6 * 100);
    EXPECT_TRUE(std::isnan(price(P, 100, 100, 1, -0.01, -0.03, 0.3).price));
}

TEST(ExerciseBoundary, ExtremeInputsStayFinite) {
    for (OptionType type : {P, C}) {
        for (double T : {1.0 / (365 * 24), 3.0 / (365 * 24), 1.0, 30.0}) {
            for (double sigma : {0.01, 0.2, 5.0}) {
                for (double S : {10.0, 50.0, 100.0, 200.0, 1000.0}) {
                    for (double r : {0.05, 1e-9, 0.0}) {
                        const auto res = price(type, S, 100, T, r, 0.03, sigma);
                        const auto& g = res.greeks;
                        EXPECT_TRUE(std::isfinite(res.price + g.delta + g.gamma + g.theta + *g.vega + *g.rho))
                            << S << " " << T << " " << sigma << " " << r;
                        EXPECT_GE(res.price, zub::value_without_volatility(
                                                 type, zub::ExerciseStyle::American, 100, T,
                                                 {.spot = S, .vol = sigma, .rate = r, .carry = 0.03}) -
                                                 1e-9 * 100);
                    }
                }
            }
        }
    }
    EXPECT_TRUE(std::isnan(price(P, 100, 100, 0.0, 0.05, 0.0, 0.2).price));
    EXPECT_TRUE(std::isnan(price(P, NAN, 100, 1.0, 0.05, 0.0, 0.2).greeks.delta));
}

}  // namespace
