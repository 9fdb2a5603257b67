#include "methods/finite_difference/fdm_process.hpp"

#include "core/lanes.hpp"
#include "core/vector_clones.hpp"

namespace zub {

namespace {

// Row i of the operator from the node's steps hm, hp and jet (spot, slope,
// curvature), for one node (V = double) or two (a vector of two doubles,
// whose elements round as the scalar operations do).
template <class V>
struct Row {
    V lower, diag, upper;
};

template <class V>
Row<V> row(V hm, V hp, V spot, V slope, V curvature, double half_var, double drift, double r) {
    const V s2 = spot * spot;
    const V slope2 = slope * slope;
    const V a = half_var * s2 / slope2;
    const V b = drift * spot / slope - half_var * s2 * curvature / (slope2 * slope);
    const V B = hm * hp * (hm + hp);
    return {(2.0 * hp * a - hp * hp * b) / B, (hp * hp - hm * hm) * b / B - 2.0 * (hm + hp) * a / B - r,
            (2.0 * hm * a + hm * hm * b) / B};
}

// The interior rows, two nodes at a time where the jets are kept (kept_jets
// gives (spot, slope, curvature) arrays), else one by one from jet(i).
template <class Jet>
ZUB_VECTOR_CLONES void fill_rows(const MarketPoint& params, const FdmGrid& grid, TridiagonalOperator& op, Jet jet,
                                 bool kept_jets) noexcept {
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
    std::size_t i = 1;
    if (kept_jets) {
        const double* spot = grid.spots().data();
        const double* slope = grid.slopes().data();
        const double* curvature = grid.curvatures().data();
        for (; i + 2 < n; i += 2) {
            const auto at = [i](const double* v) { return load_lanes<Pair>(v + i); };
            const Row<Pair> w = row(at(bwd), at(fwd), at(spot), at(slope), at(curvature), half_var, drift, r);
            store_lanes(lower + i, w.lower);
            store_lanes(diag + i, w.diag);
            store_lanes(upper + i, w.upper);
        }
    }
    for (; i + 1 < n; ++i) {
        const SpotJet j = jet(i);
        const Row<double> w = row(bwd[i], fwd[i], j.spot, j.slope, j.curvature, half_var, drift, r);
        lower[i] = w.lower;
        diag[i] = w.diag;
        upper[i] = w.upper;
    }
}

void fill_rows(const MarketPoint& params, const FdmGrid& grid, TridiagonalOperator& op) {
    if (grid.jets_kept()) {
        const double* spot = grid.spots().data();
        const double* slope = grid.slopes().data();
        const double* curvature = grid.curvatures().data();
        fill_rows(params, grid, op, [=](std::size_t i) { return SpotJet{spot[i], slope[i], curvature[i]}; }, true);
    } else {
        fill_rows(params, grid, op, [&grid](std::size_t i) { return grid.jet_at_node(i); }, false);
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
