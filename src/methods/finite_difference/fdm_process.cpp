#include "methods/finite_difference/fdm_process.hpp"

namespace zub {

namespace {

void fill_rows(const MarketPoint& params, const FdmGrid& grid, TridiagonalOperator& op) {
    const std::size_t n = grid.size();
    const auto fwd = grid.dx_forward();
    const auto bwd = grid.dx_backward();
    const double half_var = 0.5 * (params.vol * params.vol);
    const double r = params.rate;
    const double drift = params.rate - params.carry;

    op.set_row(0, 0.0, 0.0, 0.0);
    op.set_row(n - 1, 0.0, 0.0, 0.0);
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const double hm = bwd[i];
        const double hp = fwd[i];
        const SpotJet j = grid.jet_at_node(i);
        const double s2 = j.spot * j.spot;
        const double slope2 = j.slope * j.slope;
        const double a = half_var * s2 / slope2;
        const double b = drift * j.spot / j.slope - half_var * s2 * j.curvature / (slope2 * j.slope);
        const double B = hm * hp * (hm + hp);
        op.set_row(i, (2.0 * hp * a - hp * hp * b) / B,
                   (hp * hp - hm * hm) * b / B - 2.0 * (hm + hp) * a / B - r,
                   (2.0 * hm * a + hm * hm * b) / B);
    }
}

}  // namespace

TridiagonalOperator build_process_operator(const MarketPoint& params, const FdmGrid& grid) {
    TridiagonalOperator op(grid.size());
    fill_rows(params, grid, op);
    return op;
}

void rebuild_with_neumann_rows(const MarketPoint& params, const FdmGrid& grid, TridiagonalOperator& op) {
    fill_rows(params, grid, op);
    op.set_neumann_row(0);
    op.set_neumann_row(grid.size() - 1);
}

}  // namespace zub
