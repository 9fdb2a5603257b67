#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "math/normal.hpp"

namespace {

using zub::error_function;
using zub::norm_cdf;
using zub::norm_pdf;

// Distance in units in the last place between two finite doubles.
uint64_t ulp_distance(double a, double b) {
    auto key = [](double v) {
        const auto u = std::bit_cast<int64_t>(v);
        return u < 0 ? std::numeric_limits<int64_t>::min() - u : u;
    };
    const int64_t ka = key(a), kb = key(b);
    return ka > kb ? static_cast<uint64_t>(ka - kb) : static_cast<uint64_t>(kb - ka);
}

TEST(ErrorFunction, AgreesWithLibmOverDenseSweep) {
    uint64_t worst = 0;
    double worst_x = 0.0;
    auto check = [&](double x) {
        const uint64_t d = ulp_distance(error_function(x), std::erf(x));
        if (d > worst) {
            worst = d;
            worst_x = x;
        }
    };
    // Every range of the approximation, both signs, at a fine regular step.
    for (int k = -700000; k <= 700000; ++k) check(k * 1e-5);
    // Random arguments spread over magnitudes from subnormal to beyond 6.
    std::mt19937_64 rng(20240611);
    std::uniform_real_distribution<double> exponent(-320.0, 1.0);
    for (int k = 0; k < 200000; ++k) {
        const double x = std::pow(10.0, exponent(rng));
        check(x);
        check(-x);
    }
    EXPECT_LE(worst, 1u) << "worst argument " << worst_x;
}

TEST(ErrorFunction, RangeBoundariesAndSpecialValues) {
    // Arguments on and next to the switch points between approximations.
    for (double b : {0x1p-28, 0.84375, 1.25, 1.0 / 0.35, 6.0}) {
        for (double x : {std::nextafter(b, 0.0), b, std::nextafter(b, 10.0)}) {
            EXPECT_LE(ulp_distance(error_function(x), std::erf(x)), 1u) << x;
            EXPECT_LE(ulp_distance(error_function(-x), std::erf(-x)), 1u) << -x;
        }
    }
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(error_function(inf), 1.0);
    EXPECT_EQ(error_function(-inf), -1.0);
    EXPECT_TRUE(std::isnan(error_function(std::nan(""))));
    EXPECT_EQ(error_function(6.0), 1.0);
    EXPECT_EQ(error_function(-6.0), -1.0);
    EXPECT_TRUE(std::signbit(error_function(-0.0)));
    EXPECT_EQ(error_function(5e-324), std::erf(5e-324));
}

TEST(NormCdf, MatchesTheErfFormulaAndIsSymmetric) {
    for (int k = -12000; k <= 12000; ++k) {
        const double x = k * 1e-3;
        const double expected = (std::erf(x / 1.4142135623730951) + 1.0) * 0.5;
        // One ulp of erf (near +-1) is about 1.1e-16 absolute after the shift.
        ASSERT_NEAR(norm_cdf(x), expected, 1.2e-16) << x;
        ASSERT_NEAR(norm_cdf(x) + norm_cdf(-x), 1.0, 4e-16) << x;
    }
}

TEST(NormCdf, PairIsBitIdenticalToTwoEvaluations) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> arg(-12.0, 12.0);
    for (int k = 0; k < 400000; ++k) {
        const double x = k < 200000 ? (k - 100000) * 1e-4 : arg(rng);
        const auto pair = zub::norm_cdf_pair(x);
        ASSERT_EQ(pair.at, norm_cdf(x)) << x;
        ASSERT_EQ(pair.at_neg, norm_cdf(-x)) << x;
    }
    EXPECT_TRUE(std::isnan(zub::norm_cdf_pair(std::nan("")).at_neg));
}

TEST(NormCdf, SpecialValues) {
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(norm_cdf(0.0), 0.5);
    EXPECT_EQ(norm_cdf(-0.0), 0.5);
    EXPECT_EQ(norm_cdf(inf), 1.0);
    EXPECT_EQ(norm_cdf(-inf), 0.0);
    EXPECT_TRUE(std::isnan(norm_cdf(std::nan(""))));
    EXPECT_EQ(norm_cdf(10.0), 1.0);
    EXPECT_EQ(norm_cdf(-10.0), 0.0);
    EXPECT_EQ(norm_cdf(-8.5), 0.0);  // the accepted loss in the far lower tail
    EXPECT_NEAR(norm_cdf(1.959963984540054), 0.975, 1e-15);
    EXPECT_NEAR(norm_cdf(-1.0), 0.15865525393145707, 1e-16);
    EXPECT_EQ(norm_pdf(0.0), 1.0 / 2.5066282746310002);
    EXPECT_NEAR(norm_pdf(-1.0), 0.24197072451914337, 1e-17);
}

}  // namespace
