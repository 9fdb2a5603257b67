#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/error.hpp"
#include "methods/linear_operators/tridiagonal_operator.hpp"

namespace zub {
namespace {

using Vec = std::vector<double>;

TridiagonalOperator second_difference() { return TridiagonalOperator(Vec{0, 1, 1}, Vec{-2, -2, -2}, Vec{1, 1, 0}); }

// Pins the first-difference rows set_neumann_row writes, interior indices left alone.
TEST(TridiagonalOperator, AppliesRowsAndFirstDifferenceRows) {
    TridiagonalOperator op = second_difference();
    Vec out(3);
    op.apply(Vec{1, 2, 3}, out);
    EXPECT_EQ(out, (Vec{0, 0, -4}));
    op.set_neumann_row(0);
    op.set_neumann_row(2);
    op.apply(Vec{1, 2, 3}, out);
    EXPECT_EQ(out, (Vec{1, 0, 1}));
    EXPECT_EQ(op.lower()[2], -1.0);
    EXPECT_EQ(op.upper()[0], 1.0);
    // An interior index changes nothing.
    op.set_neumann_row(1);
    EXPECT_EQ(op.diag()[1], -2.0);
}

// Pins the operator's message for fewer than three nodes.
TEST(TridiagonalOperator, RefusesFewerThanThreeNodes) {
    for (std::size_t n : {0u, 1u, 2u}) {
        try {
            TridiagonalOperator op(n);
            FAIL() << "constructed with " << n;
        } catch (const Panic& e) {
            EXPECT_EQ(std::string(e.what()), "TridiagonalOperator requires at least 3 elements, found " + std::to_string(n));
        }
    }
}

// Pins the refusal of vectors of the wrong length.
TEST(TridiagonalOperator, RefusesVectorsOfTheWrongLength) {
    const TridiagonalOperator op = second_difference();
    Vec out(3), scratch(3), short_v(2);
    EXPECT_THROW(op.apply(short_v, out), Panic);
    EXPECT_THROW(op.solve_implicit(Vec{1, 2, 3}, 0.1, out, short_v), Panic);
}

TEST(TridiagonalOperator, ZeroCoefficientReturnsTheRightHandSide) {
    const TridiagonalOperator op(Vec{0, 0.3, -1.7, 2.2}, Vec{5, -4, 0.1, 9}, Vec{-6, 2.5, 1.25, 0});
    const Vec r{1.5, -2.25, 3.0, 1e-300};
    Vec out(4), scratch(4);
    op.solve_implicit(r, 0.0, out, scratch);
    EXPECT_EQ(out, r);
}

// Residual of (I - c L) u = r on interior rows, and of the first-difference
// equations on rows marked by set_neumann_row.
TEST(TridiagonalOperator, SolvesTheImplicitSystem) {
    const std::size_t n = 7;
    Vec lower(n), diag(n), upper(n), r(n);
    for (std::size_t i = 0; i < n; ++i) {
        lower[i] = 0.4 + 0.1 * static_cast<double>(i);
        upper[i] = 0.9 - 0.05 * static_cast<double>(i);
        diag[i] = -lower[i] - upper[i] - 0.05;
        r[i] = std::sin(static_cast<double>(i));
    }
    for (bool neumann : {false, true}) {
        TridiagonalOperator op(lower, diag, upper);
        if (neumann) {
            op.set_neumann_row(0);
            op.set_neumann_row(n - 1);
        }
        const double c = 0.37;
        Vec u(n), scratch(n), Lu(n);
        op.solve_implicit(r, c, u, scratch);
        op.apply(u, Lu);
        for (std::size_t i = 0; i < n; ++i) {
            const bool boundary = neumann && (i == 0 || i == n - 1);
            const double lhs = boundary ? Lu[i] : u[i] - c * Lu[i];
            EXPECT_NEAR(lhs, r[i], 1e-14) << "row " << i << (neumann ? " (boundary rows set)" : "");
        }
        if (neumann) {
            EXPECT_NEAR(u[1] - u[0], r[0], 1e-14);
            EXPECT_NEAR(u[n - 1] - u[n - 2], r[n - 1], 1e-14);
        }
    }
}

// Pins the factorisation reuse threshold: change with the rule.
TEST(TridiagonalOperator, ReusesTheFactorisationWithinTolerance) {
    TridiagonalOperator op = second_difference();
    const Vec r{1, 2, 3};
    Vec a(3), b(3), scratch(3);
    op.solve_implicit(r, 0.1, a, scratch);
    EXPECT_EQ(op.factorisations(), 1u);
    op.solve_implicit(r, 0.1 + 5e-13, b, scratch);
    EXPECT_EQ(op.factorisations(), 1u);
    EXPECT_EQ(a, b);  // the same factorisation, so the very same numbers
    op.solve_implicit(r, 0.2, b, scratch);
    EXPECT_EQ(op.factorisations(), 2u);
    op.solve_implicit(r, 0.2 + 2e-12, b, scratch);
    EXPECT_EQ(op.factorisations(), 3u);
    // Setting a boundary row drops the cache even at an unchanged c.
    op.set_neumann_row(0);
    op.solve_implicit(r, 0.2 + 2e-12, b, scratch);
    EXPECT_EQ(op.factorisations(), 4u);
}

}  // namespace
}  // namespace zub
