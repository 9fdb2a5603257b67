#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "methods/finite_difference/fdm_process.hpp"
#include "methods/finite_difference/grids/uniform.hpp"
#include "methods/stepping_scheme/post_projection.hpp"
#include "methods/time_stepping/tr_bdf2.hpp"
#include "orchestration/fdm.hpp"

namespace zub {
namespace {

using Vec = std::vector<double>;

// Pins the step budget's rounding: change with the rule.
TEST(TrBdf2, StepBudgetSharedByIntervalLength) {
    struct Case {
        double length, T;
        std::uint64_t budget, steps;
    };
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    for (const Case& c : {Case{1.0, 1.0, 10, 10}, Case{0.74, 1.0, 10, 7}, Case{0.26, 1.0, 10, 3},
                          Case{0.01, 1.0, 10, 1}, Case{0.25, 1.0, 10, 3}, Case{0.75, 1.0, 10, 8},
                          Case{0.5, 1.0, 0, 1}, Case{0.5, 2.0, 3, 1}, Case{1e300, 1e-10, 10, max},
                          Case{-0.5, 1.0, 10, 1}, Case{std::nan(""), 1.0, 10, 1}}) {
        EXPECT_EQ(steps_for_interval(c.length, c.T, c.budget), c.steps) << c.length << " of " << c.T;
    }
}

// The time error of the whole march shrinks by about four per halving.
TEST(TrBdf2, SecondOrderInTime) {
    FdmConfig s;
    s.grid_nodes = 201;
    const MarketPoint m{.spot = 100.0, .vol = 0.2, .rate = 0.05, .carry = 0.0};
    auto price = [&](std::uint64_t steps) {
        s.time_steps = steps;
        return solve_fdm_in_years(OptionType::Call, ExerciseStyle::European, 100.0, 1.0, {}, s, m)->price;
    };
    const double ref = price(5120);
    const double e1 = std::abs(price(20) - ref), e2 = std::abs(price(40) - ref), e3 = std::abs(price(80) - ref);
    EXPECT_GT(e1 / e2, 3.0);
    EXPECT_LT(e1 / e2, 5.0);
    EXPECT_GT(e2 / e3, 3.0);
    EXPECT_LT(e2 / e3, 5.0);
}

struct SchemeFixture : ::testing::Test {
    FdmGrid grid = build_uniform_grid(FdmConfig{}, 100.0, 0.2, 1.0);
    TridiagonalOperator op{grid.size()};
    std::size_t n = grid.size();
    Vec u = Vec(n), F = Vec(n);

    void use(const MarketPoint& p) { rebuild_with_neumann_rows(p, grid, op); }
    // An American scheme on the operator for p, its state created in (u, F).
    PostProjectionScheme american(OptionType type, const MarketPoint& p) {
        use(p);
        PostProjectionScheme s(grid, op, 100.0, type);
        s.create(u, F);
        return s;
    }
    Vec apply(const Vec& v) const {
        Vec out(n);
        op.apply(v, out);
        return out;
    }
};

// Pins the put's early-exercise flag and the derivative zeroed below the strike.
TEST_F(SchemeFixture, PutActivatesEarlyExerciseAndClearsTheMoney) {
    PostProjectionScheme put = american(OptionType::Put, MarketPoint{.vol = 0.2, .rate = 0.05, .carry = 0.0});
    EXPECT_TRUE(put.early_exercise_active());
    EXPECT_LT(apply(u)[0], 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        if (grid.spots()[i] < 100.0) {
            EXPECT_EQ(F[i], 0.0) << i;
        }
    }
    EXPECT_EQ(put.exercise_value(0), 100.0 - grid.spots()[0]);
    EXPECT_LT(put.exercise_value(n - 1), 0.0);
}

// Pins the call's early-exercise flag: set by the drift at the first in-the-money node.
TEST_F(SchemeFixture, CallFlagFollowsTheDriftAtTheFirstMoneyNode) {
    // L(S - K) = rK - qS: positive without carry, negative with a large one.
    for (auto [params, active] : {std::pair{MarketPoint{.vol = 0.2, .rate = 0.05, .carry = 0.0}, false},
                                  std::pair{MarketPoint{.vol = 0.2, .rate = 0.01, .carry = 0.1}, true}}) {
        const PostProjectionScheme call = american(OptionType::Call, params);
        EXPECT_EQ(call.early_exercise_active(), active);
        if (!active) {
            EXPECT_EQ(F, apply(u));
        }
    }
}

// Pins the projection's bottom pass: its index range and the derivative it zeroes.
TEST_F(SchemeFixture, BottomPassProjectsThePutExerciseRegion) {
    PostProjectionScheme put = american(OptionType::Put, MarketPoint{.vol = 0.2, .rate = 0.05, .carry = 0.0});
    Vec U(n, 50.0);
    for (std::size_t i = 0; i < 10; ++i) U[i] = put.exercise_value(i) - 1.0;
    put.after_solve(U, F);
    Vec expected(n, 50.0);
    for (std::size_t i = 0; i < 10; ++i) expected[i] = put.exercise_value(i);
    EXPECT_EQ(U, expected);
    const Vec LU = apply(U);
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(F[i], i < 10 ? 0.0 : LU[i]) << i;
}

// Pins the projection's top pass: down to the first held node, skipped on a negative top value.
TEST_F(SchemeFixture, TopPassProjectsTheCallDownToTheFirstHeldNode) {
    PostProjectionScheme call = american(OptionType::Call, MarketPoint{.vol = 0.2, .rate = 0.05, .carry = 0.0});
    ASSERT_FALSE(call.early_exercise_active());
    Vec U(n, 200.0);
    for (std::size_t i = n - 5; i < n; ++i) U[i] = call.exercise_value(i) - 0.5;
    U[n - 7] = call.exercise_value(n - 7) - 0.5;  // below exercise but beyond a held node
    const Vec before = U;
    call.after_solve(U, F);
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(U[i], i >= n - 5 ? call.exercise_value(i) : before[i]) << i;
    EXPECT_EQ(F, apply(U));  // flag off: nothing zeroed

    // A negative top value skips the top pass entirely.
    Vec V = before;
    V[n - 1] = -1.0;
    const Vec unprojected = V;
    call.after_solve(V, F);
    EXPECT_EQ(V, unprojected);
}

// Pins the projection with both ends exercised: the top pass stops, the whole derivative is zeroed.
TEST_F(SchemeFixture, BothEndsExercisedClearTheWholeDerivative) {
    PostProjectionScheme call = american(OptionType::Call, MarketPoint{.vol = 0.2, .rate = 0.01, .carry = 0.1});
    ASSERT_TRUE(call.early_exercise_active());
    Vec U(n, 500.0);
    U[0] = call.exercise_value(0) - 1.0;  // below a negative exercise value
    U[n - 1] = 0.0;
    call.after_solve(U, F);
    EXPECT_EQ(U[0], call.exercise_value(0));
    EXPECT_EQ(U[n - 1], call.exercise_value(n - 1));
    EXPECT_EQ(U[n - 2], 500.0);  // the top pass stops at once after the bottom pass
    for (double f : F) EXPECT_EQ(f, 0.0);
}

// Pins the zeroing range after a dividend: from the lowest projected node up.
TEST_F(SchemeFixture, AfterDividendClearsFromTheLowestProjectedNodeUp) {
    PostProjectionScheme put = american(OptionType::Put, MarketPoint{.vol = 0.2, .rate = 0.05, .carry = 0.0});
    Vec v(n, 80.0);
    v[5] = put.exercise_value(5) - 2.0;
    v[20] = put.exercise_value(20) - 2.0;
    put.after_dividend(v, F);
    EXPECT_EQ(v[5], put.exercise_value(5));
    EXPECT_EQ(v[20], put.exercise_value(20));
    const Vec Lv = apply(v);
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(F[i], i < 5 ? Lv[i] : 0.0) << i;
}

}  // namespace
}  // namespace zub
