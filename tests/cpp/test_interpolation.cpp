#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <variant>
#include <vector>

#include "math/interpolate/monotone_cubic.hpp"

namespace zub {
namespace {

MonotoneCubic fit(std::vector<double> x, std::vector<double> y) {
    auto r = MonotoneCubic::make(make_shared_array(std::move(x)), make_shared_array(std::move(y)));
    EXPECT_TRUE(std::holds_alternative<MonotoneCubic>(r));
    return std::get<MonotoneCubic>(std::move(r));
}

// Pins the error for fewer than three points, and its text.
TEST(MonotoneCubic, RefusesFewerThanThreePoints) {
    auto r = MonotoneCubic::make(make_shared_array({0.0, 1.0}), make_shared_array({0.0, 1.0}));
    ASSERT_TRUE(std::holds_alternative<InterpolationError>(r));
    EXPECT_EQ(std::get<InterpolationError>(r), InterpolationError::InsufficientPoints);
    EXPECT_STREQ(to_string(std::get<InterpolationError>(r)), "InsufficientPoints");
}

TEST(MonotoneCubic, ReproducesAStraightLineOnUnevenNodes) {
    const std::vector<double> x{-1.0, 0.3, 0.4, 2.0, 7.5};
    std::vector<double> y;
    for (double v : x) y.push_back(2.0 * v + 1.0);
    const MonotoneCubic c = fit(x, y);
    for (double m : c.slopes()) EXPECT_NEAR(m, 2.0, 1e-14);
    for (double M : c.second_derivatives()) EXPECT_NEAR(M, 0.0, 1e-13);
    for (double z : {-3.0, -0.5, 0.35, 1.0, 5.0, 9.0}) EXPECT_NEAR(c.value_at(z), 2.0 * z + 1.0, 1e-12);
}

// Pins the slope limiter's rule: a vanishing adjacent secant zeroes the slope.
TEST(MonotoneCubic, FlatWhereAdjacentSecantVanishes) {
    const MonotoneCubic c = fit({0, 1, 2, 3}, {0, 0, 1, 1});
    EXPECT_EQ(c.slopes()[1], 0.0);
    EXPECT_EQ(c.slopes()[2], 0.0);
    for (double z = 0.0; z <= 3.0; z += 0.01) {
        EXPECT_GE(c.value_at(z), 0.0);
        EXPECT_LE(c.value_at(z), 1.0);
    }
}

// Hand-worked three-point fits: M_1 from the natural spline, end slopes
// from the spline's end derivatives (limited in size only, never in sign),
// the interior slope a centred secant limited to three times the smaller
// adjacent secant.
struct ThreePointCase {
    const char* name;  // the test's name suffix
    std::vector<double> y;
    double M1;
    std::vector<double> slopes;
};

class MonotoneCubicThreePoint : public ::testing::TestWithParam<ThreePointCase> {};

// Pins the fit's end and interior slope limits: change with the rule.
TEST_P(MonotoneCubicThreePoint, SlopesAndSecondDerivatives) {
    const auto& p = GetParam();
    const MonotoneCubic c = fit({0.0, 1.0, 2.0}, p.y);
    const auto& M = c.second_derivatives();
    EXPECT_EQ(M[0], 0.0);
    EXPECT_NEAR(M[1], p.M1, 1e-14);
    EXPECT_EQ(M[2], 0.0);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(c.slopes()[i], p.slopes[i], 1e-14) << "node " << i;
}

INSTANTIATE_TEST_SUITE_P(Cases, MonotoneCubicThreePoint,
                         ::testing::Values(
                             // peak: interior slope zeroed, end slopes +-1.5
                             ThreePointCase{"Peak", {0, 1, 0}, -3.0, {1.5, 0.0, -1.5}},
                             // end slope -1 against a rising secant is kept; centred 5 limited to 3
                             ThreePointCase{"EndSlopeAgainstSecant", {0, 1, 10}, 12.0, {-1.0, 3.0, 11.0}},
                             // end slope -3.5 limited to 3 keeping its sign
                             ThreePointCase{"EndSlopeLimited", {0, 1, 20}, 27.0, {-3.0, 3.0, 23.5}},
                             // zero first secant zeroes the first slope
                             ThreePointCase{"FlatFirstSecant", {0, 0, 10}, 15.0, {0.0, 0.0, 12.5}}),
                         [](const auto& test) { return std::string(test.param.name); });

// Pins the extension rule: the end cubic pieces go on past the nodes.
TEST(MonotoneCubic, HermiteValuesAndExtension) {
    const MonotoneCubic c = fit({0.0, 1.0, 2.0}, {0.0, 1.0, 0.0});
    EXPECT_NEAR(c.value_at(0.5), 0.6875, 1e-15);
    EXPECT_NEAR(c.value_at(1.5), 0.6875, 1e-15);
    EXPECT_EQ(c.value_at(1.0), 1.0);
    // Left of x_0 the first cubic piece goes on with t = -1.
    const double t = -1.0;
    const double expected = 1.0 * (3 * t * t - 2 * t * t * t) + 1.5 * (t * t * t - 2 * t * t + t);
    EXPECT_NEAR(c.value_at(-1.0), expected, 1e-14);
}

TEST(MonotoneCubic, NaNAbscissaeDoNotEscapeTheArrays) {
    const double nan = std::nan("");
    const MonotoneCubic c = fit({nan, nan, nan, nan}, {1.0, 2.0, 3.0, 4.0});
    for (double z : {0.0, nan, 1e300}) EXPECT_TRUE(std::isnan(c.value_at(z)));
}

}  // namespace
}  // namespace zub
