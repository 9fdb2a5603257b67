#include "methods/finite_difference/fdm_process.hpp"

namespace zub {

namespace {

// jet(i): the transform's jet at node i.  With the jets read from memory
// the loop has no calls and the compiler may vectorise it.
template <class Jet>
void fill_rows(const MarketPoint& params, const FdmGrid& grid, TridiagonalOperator& op, Jet jet) {
    const std::size_t n = grid.size();
    const double* fwd = grid.dx_forward().data();
    const double* bwd = grid.dx_backward().data();
    const double half_var = 0.5 * (params.vol * params.vol);
    const double r = params.rate;
    const double drift = params.rate - params.carry;

    const TridiagonalOperator::Diagonals rows = op.diagonals_mut();
    double* __restrict lower = rows.lower;
    double* __restrict diag = rows.diag;
    double* __restrict upper = rows.upper;
    lower[0] = diag[0] = upper[0] = 0.0;
    lower[n - 1] = diag[n - 1] = upper[n - 1] = 0.0;
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const double hm = bwd[i];
        const double hp = fwd[i];
        const SpotJet j = jet(i);
        const double s2 = j.spot * j.spot;
        const double slope2 = j.slope * j.slope;
        const double a = half_var * s2 / slope2;
        const double b = drift * j.spot / j.slope - half_var * s2 * j.curvature / (slope2 * j.slope);
        const double B = hm * hp * (hm + hp);
        lower[i] = (2.0 * hp * a - hp * hp * b) / B;
        diag[i] = (hp * hp - hm * hm) * b / B - 2.0 * (hm + hp) * a / B - r;
        upper[i] = (2.0 * hm * a + hm * hm * b) / B;
    }
}

void fill_rows(const MarketPoint& params, const FdmGrid& grid, TridiagonalOperator& op) {
    if (grid.jets_kept()) {
        const double* spot = grid.spots().data();
        const double* slope = grid.slopes().data();
        const double* curvature = grid.curvatures().data();
        fill_rows(params, grid, op, [=](std::size_t i) { return SpotJet{spot[i], slope[i], curvature[i]}; });
    } else {
        fill_rows(params, grid, op, [&grid](std::size_t i) { return grid.jet_at_node(i); });
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
