#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cmath>
#include <vector>

#include "methods/finite_difference/boundary_conditions/neumann_standard.hpp"
#include "methods/finite_difference/fdm_process.hpp"
#include "methods/finite_difference/grids/fitted.hpp"
#include "methods/finite_difference/grids/uniform.hpp"

namespace zub {
namespace {

FdmConfig log_settings(std::uint64_t nodes) {
    FdmConfig s;
    s.transform = {TransformKind::Log, 0.0};
    s.grid_nodes = nodes;
    return s;
}

// Pins the default grid's construction: sinh 0.3, 101 nodes, four standard deviations about the strike.
TEST(FdmGrid, DefaultSinhGridAroundTheStrike) {
    const FdmGrid g = build_uniform_grid(FdmConfig{}, 100.0, 0.2, 1.0);
    ASSERT_EQ(g.size(), 101u);
    EXPECT_EQ(g.kind(), GridKind::Uniform);
    const auto s = g.spots();
    EXPECT_NEAR(s[0], 100.0 * std::exp(-0.8), 1e-10);
    EXPECT_NEAR(s[0], 44.933, 1e-3);
    EXPECT_NEAR(s[100], 222.554, 1e-3);
    EXPECT_NEAR(g.x()[0], -std::asinh(0.8 / 0.3), 1e-12);
    EXPECT_NEAR(g.x()[100], 1.7074, 1e-4);
    EXPECT_NEAR(s[50], 100.0, 1e-12);
    EXPECT_GT(s[51] - s[50], 1.02);
    EXPECT_LT(s[51] - s[50], 1.03);
    EXPECT_NEAR(s[50] - s[49], 1.02, 0.005);
    EXPECT_NEAR(s[1] - s[0], 1.31, 0.01);
    EXPECT_EQ(g.dx_forward()[100], 0.0);
    EXPECT_EQ(g.dx_backward()[0], 0.0);
    for (std::size_t i = 0; i + 1 < g.size(); ++i) {
        EXPECT_NEAR(g.dx_forward()[i], g.x()[1] - g.x()[0], 1e-12);
        EXPECT_EQ(g.dx_backward()[i + 1], g.dx_forward()[i]);
    }
}

// Grids built with kept node parts are the grids built afresh: along a chain
// of strikes (whose grids share nodes), across more distinct grids than are
// kept at once, and when the transform or the node count changes; and parts
// are found only for the very nodes they were kept for.
TEST(FdmGrid, KeptNodePartsGiveTheGridBuiltAfresh) {
    NodeParts store;
    const Transform sinh{TransformKind::Sinh, 100.0, 0.3};
    ASSERT_EQ(store.keep(sinh, -1.5, 0.03, 101).size(), 101u);
    EXPECT_EQ(store.find({TransformKind::Sinh, 80.0, 0.3}, -1.5, 0.03, 101).size(), 101u);  // another centre
    EXPECT_TRUE(store.find(sinh, std::nextafter(-1.5, 0.0), 0.03, 101).empty());
    EXPECT_TRUE(store.find(sinh, -1.5, std::nextafter(0.03, 1.0), 101).empty());
    EXPECT_TRUE(store.find({TransformKind::Sinh, 100.0, 0.7}, -1.5, 0.03, 101).empty());
    EXPECT_TRUE(store.find({TransformKind::Log, 100.0, 0.3}, -1.5, 0.03, 101).empty());
    EXPECT_TRUE(store.find(sinh, -1.5, 0.03, 57).empty());

    FdmConfig wide;
    wide.transform.alpha = 0.7;
    wide.grid_nodes = 57;
    NodeParts kept;
    FdmGrid g(GridKind::Uniform, Transform{}, 1);
    for (const FdmConfig& settings : {FdmConfig{}, log_settings(101), wide, FdmConfig{}}) {
        g = FdmGrid(GridKind::Uniform, Transform{}, static_cast<std::size_t>(settings.grid_nodes));
        for (int i = 0; i < 400; ++i) {
            const double strike = 95.0 + 0.05 * i;
            const double vol = 0.2 + 0.01 * (i / 10);
            build_uniform_grid(g, settings, strike, vol, 0.5, 100.0, &kept);
            const FdmGrid fresh = build_uniform_grid(settings, strike, vol, 0.5, 100.0);
            for (std::size_t k = 0; k < g.size(); ++k) {
                const SpotJet a = g.jet_at_node(k);
                const SpotJet b = fresh.jet_at_node(k);
                ASSERT_EQ(std::bit_cast<std::uint64_t>(a.spot), std::bit_cast<std::uint64_t>(b.spot)) << i << " " << k;
                ASSERT_EQ(std::bit_cast<std::uint64_t>(a.slope), std::bit_cast<std::uint64_t>(b.slope));
                ASSERT_EQ(std::bit_cast<std::uint64_t>(a.curvature), std::bit_cast<std::uint64_t>(b.curvature));
            }
        }
    }
}

// Pins the log grid's construction: even in log spot, four standard deviations each side.
TEST(FdmGrid, LogGridIsEvenInLogSpot) {
    const FdmGrid g = build_uniform_grid(log_settings(101), 100.0, 0.2, 1.0);
    EXPECT_NEAR(g.x()[0], std::log(100.0) - 0.8, 1e-12);
    EXPECT_NEAR(g.x()[100], std::log(100.0) + 0.8, 1e-12);
    for (std::size_t i = 0; i < g.size(); ++i) EXPECT_NEAR(std::log(g.spots()[i]), g.x()[i], 1e-12);
}

TEST(FdmGrid, TransformDerivativesMatchDifferences) {
    for (TransformKind kind : {TransformKind::Sinh, TransformKind::Log}) {
        const Transform t{kind, 100.0, 0.3};
        for (double x : {-1.5, -0.2, 0.0, 0.7, 1.6}) {
            const double eps = 1e-5;
            const double xx = kind == TransformKind::Log ? x + 4.6 : x;
            const SpotJet j = t.jet(xx);
            EXPECT_DOUBLE_EQ(j.spot, t.to_spot(xx));
            EXPECT_NEAR(t.to_coordinate(j.spot), xx, 1e-12);
            EXPECT_NEAR(j.slope, (t.to_spot(xx + eps) - t.to_spot(xx - eps)) / (2 * eps), 1e-6 * j.slope);
            EXPECT_NEAR(j.curvature, (t.spot_slope(xx + eps) - t.spot_slope(xx - eps)) / (2 * eps),
                        1e-6 * std::abs(j.slope));
        }
    }
}

// w0 = 0.8: written grid, bit for bit, up to |ln(S/K)| = 0.4; beyond, 1.5 |ln(S/K)| + 0.2.
// Pins the domain's stretch rule: change with the rule.
TEST(FdmGrid, DomainStretchesOnlyForASpotBeyondHalfTheWidth) {
    const FdmGrid written = build_uniform_grid(FdmConfig{}, 100.0, 0.2, 1.0);
    for (double x : {-0.3999, 0.3999, -0.4001, 0.4001, 1.5, -3.0}) {
        const FdmGrid g = build_uniform_grid(FdmConfig{}, 100.0, 0.2, 1.0, 100.0 * std::exp(x));
        const double w = std::abs(x) > 0.4 ? 1.5 * std::abs(x) + 0.2 : 0.8;
        EXPECT_EQ(std::equal(g.x().begin(), g.x().end(), written.x().begin()), w == 0.8) << x;
        EXPECT_NEAR(std::log(g.spots()[100] / g.spots()[0]), 2.0 * w, 1e-12) << x;
    }
}

// Pins the shifted and fitted grids' construction: spots kept as given, coordinates mapped back.
TEST(FdmGrid, ShiftedGridKeepsSpotsExactly) {
    const FdmGrid g = build_uniform_grid(FdmConfig{}, 100.0, 0.2, 1.0);
    const FdmGrid s = shifted_by(g, 2.5);
    EXPECT_EQ(s.kind(), GridKind::Fitted);
    for (std::size_t i = 0; i < g.size(); ++i) {
        EXPECT_EQ(s.spots()[i], g.spots()[i] + 2.5);
        EXPECT_NEAR(s.x()[i], g.transform().to_coordinate(g.spots()[i] + 2.5), 1e-15);
    }
    EXPECT_GT(std::abs(s.dx_forward()[0] - s.dx_forward()[99]), 1e-3);
    EXPECT_EQ(s.dx_forward()[100], 0.0);
    EXPECT_EQ(s.dx_backward()[0], 0.0);

    const std::vector<double> spots{90.0, 95.0, 101.0, 130.0};
    const FdmGrid f = build_fitted_grid(spots, g.transform());
    for (std::size_t i = 0; i < spots.size(); ++i) EXPECT_EQ(f.spots()[i], spots[i]);
    EXPECT_NEAR(f.dx_forward()[2], f.x()[3] - f.x()[2], 0.0);
}

// Pins the operator's rows: central differences inside, zero rows at both ends.
TEST(ProcessOperator, LogGridRowsAreConstant) {
    const FdmGrid g = build_uniform_grid(log_settings(11), 100.0, 0.2, 1.0);
    const MarketPoint p{.vol = 0.2, .rate = 0.05, .carry = 0.02};
    const TridiagonalOperator op = build_process_operator(p, g);
    const double h = g.dx_forward()[0];
    const double a = 0.02, b = 0.01;
    for (std::size_t i = 1; i + 1 < g.size(); ++i) {
        EXPECT_NEAR(op.lower()[i], a / (h * h) - b / (2 * h), 1e-9);
        EXPECT_NEAR(op.diag()[i], -2 * a / (h * h) - 0.05, 1e-9);
        EXPECT_NEAR(op.upper()[i], a / (h * h) + b / (2 * h), 1e-9);
    }
    for (std::size_t i : {std::size_t{0}, g.size() - 1}) {
        EXPECT_EQ(op.lower()[i], 0.0);
        EXPECT_EQ(op.diag()[i], 0.0);
        EXPECT_EQ(op.upper()[i], 0.0);
    }
}

// On any grid, even an uneven fitted one, the three-point weights are exact
// for quadratics in x: L x^2 = 2a + 2b x - r x^2 with the node's a and b.
TEST(ProcessOperator, ExactOnQuadraticsOnUnevenGrids) {
    const MarketPoint p{.vol = 0.25, .rate = 0.05, .carry = 0.01};
    const FdmGrid g = shifted_by(build_uniform_grid(FdmConfig{}, 100.0, 0.25, 0.5), 3.75);
    TridiagonalOperator op = build_process_operator(p, g);
    std::vector<double> v(g.size()), Lv(g.size()), ones(g.size(), 1.0);
    for (std::size_t i = 0; i < g.size(); ++i) v[i] = g.x()[i] * g.x()[i];
    op.apply(v, Lv);
    for (std::size_t i = 1; i + 1 < g.size(); ++i) {
        const SpotJet j = g.transform().jet(g.x()[i]);
        const double a = 0.5 * p.vol * p.vol * j.spot * j.spot / (j.slope * j.slope);
        const double b = (p.rate - p.carry) * j.spot / j.slope -
                         0.5 * p.vol * p.vol * j.spot * j.spot * j.curvature / (j.slope * j.slope * j.slope);
        const double x = g.x()[i];
        EXPECT_NEAR(Lv[i], 2 * a + 2 * b * x - p.rate * x * x, 1e-9 * (1 + std::abs(a) / 1e-4)) << i;
    }
    op.apply(ones, Lv);
    for (std::size_t i = 1; i + 1 < g.size(); ++i) EXPECT_NEAR(Lv[i], -p.rate, 1e-9 * std::abs(op.diag()[i]));
}

// Pins the first-difference end rows and the boundary values each option type asks for.
TEST(ProcessOperator, NeumannRowsAndBoundaryValues) {
    const FdmGrid g = build_uniform_grid(FdmConfig{}, 100.0, 0.2, 1.0);
    TridiagonalOperator op(g.size());
    rebuild_with_neumann_rows(MarketPoint{.vol = 0.2, .rate = 0.05, .carry = 0.0}, g, op);
    std::vector<double> ramp(g.size()), out(g.size());
    for (std::size_t i = 0; i < g.size(); ++i) ramp[i] = static_cast<double>(i);
    op.apply(ramp, out);
    EXPECT_EQ(out.front(), 1.0);
    EXPECT_EQ(out.back(), 1.0);

    const std::size_t last = g.size() - 1;
    const double s0 = g.transform().spot_slope(g.x()[0]);
    const double sN = g.transform().spot_slope(g.x()[last]);
    const NeumannStandard call(g, boundary_slopes(OptionType::Call));
    const NeumannStandard put(g, boundary_slopes(OptionType::Put));
    EXPECT_EQ(call.first(), 0.0);
    EXPECT_DOUBLE_EQ(call.last(), g.dx_backward()[last] * sN);
    EXPECT_DOUBLE_EQ(put.first(), -g.dx_forward()[0] * s0);
    EXPECT_EQ(put.last(), 0.0);
    // The differences they ask for approximate the end spot steps to first order.
    EXPECT_NEAR(call.last(), g.spots()[last] - g.spots()[last - 1], 0.05 * call.last());
    EXPECT_NEAR(-put.first(), g.spots()[1] - g.spots()[0], 0.05 * -put.first());
    std::vector<double> r(g.size(), 7.0);
    put.apply(r);
    EXPECT_EQ(r.front(), put.first());
    EXPECT_EQ(r.back(), 0.0);
    EXPECT_EQ(r[1], 7.0);
}

}  // namespace
}  // namespace zub
