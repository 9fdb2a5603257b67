// The rational inversion of Black's formula (math/implied_black.hpp):
// round trips over the domain, the wings and the statuses.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "math/implied_black.hpp"

namespace {

using namespace zub;

// N(z) in long double, for reference prices beyond double precision.
long double cdf(long double z) { return 0.5L * std::erfc(-z / std::sqrt(2.0L)); }

// The out-of-the-money price (a call when K >= F, else a put) of forward F,
// strike K and total deviation s, undiscounted, in long double.
long double otm_price(double F, double K, double s) {
    const long double x = std::log(static_cast<long double>(F) / K);
    const long double h = x / s, t = 0.5L * s;
    if (K >= F) return F * cdf(h + t) - K * cdf(h - t);
    return K * cdf(-h + t) - F * cdf(-h - t);
}

// 1e5 random quotes given as out-of-the-money prices, half turned into
// in-the-money ones by parity: sigma in [0.001, 10], T from a day to 30
// years, sigma sqrt(T) <= 6, |ln(F/K)| <= 8 sigma sqrt(T).  Each must come
// back within 1e-13 relative plus the change one ulp of the quote makes, in
// at most two steps.  Quotes that round to their intrinsic value carry no
// volatility and are drawn again.
TEST(ImpliedBlack, RoundTripsOverTheDomain) {
    std::mt19937_64 gen(20260108);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const double F = 100.0;
    double worst = 0.0;
    for (int i = 0; i < 100000;) {
        const double sigma = 0.001 * std::pow(1e4, u(gen));
        const double T = std::pow(30.0 * 365.0, u(gen)) / 365.0;
        const double s = sigma * std::sqrt(T);
        if (s > 6.0) continue;
        const double K = F * std::exp(-(2.0 * u(gen) - 1.0) * 8.0 * s);
        const double otm = static_cast<double>(otm_price(F, K, s));
        bool call = K >= F;
        double quote = otm;
        if (u(gen) < 0.5) {
            call = !call;
            quote = otm + (call ? F - K : K - F);
            if (quote == (call ? F - K : K - F)) continue;
        }
        if (!(otm > 0.0)) continue;
        ++i;
        int steps = -1;
        const BlackInversion r = implied_black_volatility(quote, F, K, T, call, &steps);
        ASSERT_EQ(r.status, BlackInversionStatus::Ok) << sigma << " " << T << " " << K;
        EXPECT_LE(steps, 2);
        // The change of sigma one ulp of the quote makes, from the vega.
        const double x = std::log(F / K), h = x / s, t = 0.5 * s;
        const double vega = std::sqrt(F * K * T) * std::exp(-0.5 * (h * h + t * t)) / 2.5066282746310002;
        const double ulp = (std::nextafter(quote, INFINITY) - quote) / vega;
        const double ratio = std::fabs(r.vol - sigma) / (1e-13 * sigma + ulp);
        ASSERT_LE(ratio, 1.0) << "sigma " << sigma << " T " << T << " K " << K << " call " << call << " got "
                              << r.vol;
        worst = std::max(worst, ratio);
    }
    RecordProperty("worst_ratio", std::to_string(worst));
}

// The wings: normalised prices down to 1e-300, and volatilities up to
// s = 40, at log-moneyness up to 60 either side.
TEST(ImpliedBlack, WingsToTheSmallestPrices) {
    int checked = 0;
    for (const double x : {-60.0, -30.0, -8.0, -1.0, -1e-3, -1e-9, 0.0, 1e-6, 2.0, 30.0}) {
        for (double s = 1e-3; s < 40.0; s *= 1.37) {
            const long double h = static_cast<long double>(x) / s, t = 0.5L * s;
            const long double call = std::exp(0.5L * x) * cdf(h + t) - std::exp(-0.5L * x) * cdf(h - t);
            const long double intrinsic = x > 0.0 ? std::exp(0.5L * x) - std::exp(-0.5L * x) : 0.0L;
            const double otm = static_cast<double>(call - intrinsic);
            const double beta = static_cast<double>(call);
            const bool at_intrinsic = x > 0.0 && beta == static_cast<double>(intrinsic);
            if (!(otm >= 1e-300) || !(beta < std::exp(0.5 * x)) || at_intrinsic) {
                continue;
            }
            ++checked;
            int steps = -1;
            const BlackInversion r = normalised_implied_volatility(beta, x, &steps);
            ASSERT_EQ(r.status, BlackInversionStatus::Ok) << x << " " << s;
            EXPECT_LE(steps, 2);
            const double vega = std::exp(static_cast<double>(-0.5L * (h * h + t * t))) / 2.5066282746310002;
            const double ulp = (std::nextafter(beta, INFINITY) - beta) / vega;
            // The normalised limit e^{x/2} is itself rounded: two ulps.
            EXPECT_LE(std::fabs(r.vol - s), 1e-13 * s + 2.0 * ulp) << x << " " << s << " " << beta;
        }
    }
    EXPECT_GT(checked, 150);
    // The smallest normalised price the paper asks for.
    const BlackInversion tiny = normalised_implied_volatility(1e-300, -20.0);
    ASSERT_EQ(tiny.status, BlackInversionStatus::Ok);
    EXPECT_NEAR(normalised_black_call(-20.0, tiny.vol) / 1e-300, 1.0, 1e-12);
}

TEST(ImpliedBlack, Statuses) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // A call at A = 100, B = 90 is worth between 10 and 100.
    EXPECT_EQ(implied_black_volatility(9.99, 100, 90, 1, true).status, BlackInversionStatus::BelowIntrinsic);
    EXPECT_EQ(implied_black_volatility(100.0, 100, 90, 1, true).status, BlackInversionStatus::AboveMaximum);
    EXPECT_EQ(implied_black_volatility(1e9, 100, 90, 1, false).status, BlackInversionStatus::AboveMaximum);
    EXPECT_EQ(implied_black_volatility(-1.0, 100, 110, 1, true).status, BlackInversionStatus::BelowIntrinsic);
    EXPECT_EQ(implied_black_volatility(nan, 100, 90, 1, true).status, BlackInversionStatus::NotANumber);
    EXPECT_EQ(implied_black_volatility(5.0, nan, 90, 1, true).status, BlackInversionStatus::NotANumber);
    EXPECT_TRUE(std::isnan(implied_black_volatility(nan, 100, 90, 1, true).vol));
    EXPECT_EQ(implied_black_volatility(5.0, -100, 90, 1, true).status, BlackInversionStatus::NotANumber);
    EXPECT_EQ(implied_black_volatility(5.0, 100, 90, 0, true).status, BlackInversionStatus::NotANumber);
    // At the intrinsic value the answer is no volatility.
    const BlackInversion at = implied_black_volatility(10.0, 100, 90, 1, true);
    EXPECT_EQ(at.status, BlackInversionStatus::Ok);
    EXPECT_EQ(at.vol, 0.0);
    EXPECT_EQ(normalised_implied_volatility(-1e-300, -1.0).status, BlackInversionStatus::BelowIntrinsic);
    EXPECT_EQ(normalised_implied_volatility(std::exp(-0.5), -1.0).status, BlackInversionStatus::AboveMaximum);
    EXPECT_EQ(normalised_implied_volatility(0.1, nan).status, BlackInversionStatus::NotANumber);
}

}  // namespace
