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

// F = L U with the time derivative held at 0 where the option is exercised:
// the interior nodes of [lo, hi] in the money (at expiry only where L U < 0).
Vec held(const SchemeFixture& f, const Vec& U, double phi, std::size_t lo, std::size_t hi, bool at_expiry = false) {
    Vec expected = f.apply(U);
    for (std::size_t i = std::max<std::size_t>(lo, 1); i <= std::min(hi, f.n - 2); ++i) {
        const bool money = (f.grid.spots()[i] - 100.0) * phi > 1e-10;
        if (money && (!at_expiry || expected[i] < 0.0)) expected[i] = 0.0;
    }
    return expected;
}

// At expiry the derivative is held node by node: for a put where rK > qS, so
// with q > r only below K r/q; for a call where qS > rK; never at the
// boundary rows.
TEST_F(SchemeFixture, CreateHoldsOnlyWhereHoldingLosesValue) {
    for (auto [type, params] : {std::pair{OptionType::Put, MarketPoint{.vol = 0.2, .rate = 0.05, .carry = 0.0}},
                                std::pair{OptionType::Put, MarketPoint{.vol = 0.2, .rate = 0.02, .carry = 0.06}},
                                std::pair{OptionType::Put, MarketPoint{.vol = 0.2, .rate = 0.0, .carry = 0.05}},
                                std::pair{OptionType::Call, MarketPoint{.vol = 0.2, .rate = 0.05, .carry = 0.0}},
                                std::pair{OptionType::Call, MarketPoint{.vol = 0.2, .rate = 0.05, .carry = 0.08}}}) {
        american(type, params);
        const double phi = type == OptionType::Call ? 1.0 : -1.0;
        EXPECT_EQ(F, held(*this, u, phi, 0, n - 1, true)) << params.rate << " " << params.carry;
    }
    // The put with q > r keeps the drift between K r/q and K.
    american(OptionType::Put, MarketPoint{.vol = 0.2, .rate = 0.02, .carry = 0.06});
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const double S = grid.spots()[i];
        if (S < 100.0 - 1e-9) {
            EXPECT_EQ(F[i] == 0.0, S < 100.0 * 0.02 / 0.06) << S;
        }
    }
}

// Pins the projection's bottom pass: its index range and the derivative it holds.
TEST_F(SchemeFixture, BottomPassProjectsThePutExerciseRegion) {
    PostProjectionScheme put = american(OptionType::Put, MarketPoint{.vol = 0.2, .rate = 0.05, .carry = 0.0});
    Vec U(n, 50.0);
    for (std::size_t i = 0; i < 10; ++i) U[i] = put.exercise_value(i) - 1.0;
    put.after_solve(U, F);
    Vec expected(n, 50.0);
    for (std::size_t i = 0; i < 10; ++i) expected[i] = put.exercise_value(i);
    EXPECT_EQ(U, expected);
    EXPECT_EQ(F, held(*this, U, -1.0, 0, 9));
}

// Pins the projection's top pass: down to the first held node, skipped on a
// negative top value.
TEST_F(SchemeFixture, TopPassProjectsTheCallDownToTheFirstHeldNode) {
    PostProjectionScheme call = american(OptionType::Call, MarketPoint{.vol = 0.2, .rate = 0.05, .carry = 0.0});
    Vec U(n, 200.0);
    for (std::size_t i = n - 5; i < n; ++i) U[i] = call.exercise_value(i) - 0.5;
    U[n - 7] = call.exercise_value(n - 7) - 0.5;  // below exercise but beyond a held node
    const Vec before = U;
    call.after_solve(U, F);
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(U[i], i >= n - 5 ? call.exercise_value(i) : before[i]) << i;
    EXPECT_EQ(F, held(*this, U, 1.0, n - 5, n - 1));

    // A negative top value skips the top pass entirely.
    Vec V = before;
    V[n - 1] = -1.0;
    const Vec unprojected = V;
    call.after_solve(V, F);
    EXPECT_EQ(V, unprojected);
}

// Both ends projected: the top pass stops after the bottom one; neither the
// boundary rows nor a node out of the money is held.
TEST_F(SchemeFixture, BothEndsProjectedHoldNoBoundaryRow) {
    PostProjectionScheme call = american(OptionType::Call, MarketPoint{.vol = 0.2, .rate = 0.01, .carry = 0.1});
    Vec U(n, 500.0);
    U[0] = call.exercise_value(0) - 1.0;  // below a negative exercise value
    U[n - 1] = 0.0;
    call.after_solve(U, F);
    EXPECT_EQ(U[0], call.exercise_value(0));
    EXPECT_EQ(U[n - 1], call.exercise_value(n - 1));
    EXPECT_EQ(U[n - 2], 500.0);  // the top pass stops at once after the bottom pass
    EXPECT_EQ(F, apply(U));
}

// After a dividend the derivative is held over the projected range only.
TEST_F(SchemeFixture, AfterDividendHoldsOverTheProjectedRange) {
    PostProjectionScheme put = american(OptionType::Put, MarketPoint{.vol = 0.2, .rate = 0.05, .carry = 0.0});
    Vec v(n, 80.0);
    v[5] = put.exercise_value(5) - 2.0;
    v[20] = put.exercise_value(20) - 2.0;
    put.after_dividend(v, F);
    EXPECT_EQ(v[5], put.exercise_value(5));
    EXPECT_EQ(v[20], put.exercise_value(20));
    EXPECT_EQ(F, held(*this, v, -1.0, 5, 20));
}

}  // namespace
}  // namespace zub
