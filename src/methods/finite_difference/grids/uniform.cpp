#include "methods/finite_difference/grids/uniform.hpp"

#include <cmath>

namespace zub {

double domain_half_width(double w0, double spot, double strike) noexcept {
    if (!(spot > 0.0) || !std::isfinite(spot) || !(w0 > 0.0)) return w0;
    const double x = std::fabs(std::log(spot / strike));
    // Also false for a NaN x (a NaN strike).
    if (!(x > 0.5 * w0)) return w0;
    return 1.5 * x + 0.25 * w0;
}

FdmGrid build_uniform_grid(const FdmConfig& settings, double strike, double sigma, double T, double spot) {
    FdmGrid grid(GridKind::Uniform, Transform{}, static_cast<std::size_t>(settings.grid_nodes));
    build_uniform_grid(grid, settings, strike, sigma, T, spot);
    return grid;
}

void build_uniform_grid(FdmGrid& grid, const FdmConfig& settings, double strike, double sigma, double T, double spot) {
    const Transform transform{settings.transform.kind, strike, settings.transform.alpha};
    const std::size_t n = grid.size();
    grid.reset(GridKind::Uniform, transform);

    const double s = std::pow(T, 0.5) * sigma;
    const double w = domain_half_width(s * settings.grid_std_devs, spot, strike);
    const double s_min = std::exp(std::log(strike) - w);
    const double s_max = std::exp(w + std::log(strike));
    const double x_min = transform.to_coordinate(s_min);
    const double x_max = transform.to_coordinate(s_max);
    const double step = (x_max - x_min) / static_cast<double>(n - 1);

    // The jet's spot is to_spot(x) to the bit: the operator's S is the node's.
    auto x = grid.x_mut();
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = x_min + static_cast<double>(i) * step;
        grid.set_jet(i, transform.jet(x[i]));
    }
    grid.mark_jets_kept();
    grid.update_steps();
}

}  // namespace zub
