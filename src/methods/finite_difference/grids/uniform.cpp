#include "methods/finite_difference/grids/uniform.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <exception>

namespace zub {

double domain_half_width(double w0, double spot, double strike) noexcept {
    if (!(spot > 0.0) || !std::isfinite(spot) || !(w0 > 0.0)) return w0;
    const double x = std::fabs(std::log(spot / strike));
    // Also false for a NaN x (a NaN strike).
    if (!(x > 0.5 * w0)) return w0;
    return 1.5 * x + 0.25 * w0;
}

namespace {

bool same_bits(double a, double b) noexcept { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

}  // namespace

std::span<const Transform::Parts> NodeParts::find(const Transform& transform, double x_min, double step,
                                                  std::size_t n) const noexcept {
    if (n == 0 || n != n_) return {};
    // Equal bits give equal nodes and so equal parts.
    for (std::size_t p = 0; p < keys_.size(); ++p) {
        const Key& k = keys_[p];
        if (k.kind == transform.kind && same_bits(k.x_min, x_min) && same_bits(k.step, step) &&
            same_bits(k.alpha, transform.alpha)) {
            return {parts_.data() + p * n, n};
        }
    }
    return {};
}

std::span<Transform::Parts> NodeParts::keep(const Transform& transform, double x_min, double step,
                                            std::size_t n) noexcept {
    if (n == 0) return {};
    if (n != n_) {
        keys_.clear();
        parts_.clear();
        n_ = n;
        places_ = std::clamp<std::size_t>(kBudget / (std::max<std::size_t>(n, 1) * sizeof(Transform::Parts)), 1,
                                          kMaxGrids);
        oldest_ = 0;
    }
    const Key key{transform.kind, transform.alpha, x_min, step};
    std::size_t place = 0;
    if (keys_.size() < places_) {
        place = keys_.size();
        // Without the memory nothing is kept, and the grid is built as without a store.
        try {
            if (keys_.capacity() < places_) keys_.reserve(places_);
            if (parts_.capacity() < places_ * n) parts_.reserve(places_ * n);
        } catch (const std::exception&) {  // bad_alloc, or length_error past the vector's size
            return {};
        }
        parts_.resize((place + 1) * n);
        keys_.push_back(key);
    } else {
        place = oldest_;
        oldest_ = (oldest_ + 1) % places_;
        keys_[place] = key;
    }
    return {parts_.data() + place * n, n};
}

FdmGrid build_uniform_grid(const FdmConfig& settings, double strike, double sigma, double T, double spot) {
    FdmGrid grid(GridKind::Uniform, Transform{}, static_cast<std::size_t>(settings.grid_nodes));
    build_uniform_grid(grid, settings, strike, sigma, T, spot);
    return grid;
}

void build_uniform_grid(FdmGrid& grid, const FdmConfig& settings, double strike, double sigma, double T, double spot,
                        NodeParts* kept) {
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
    for (std::size_t i = 0; i < n; ++i) x[i] = x_min + static_cast<double>(i) * step;
    const std::span<const Transform::Parts> known = kept != nullptr ? kept->find(transform, x_min, step, n)
                                                                    : std::span<const Transform::Parts>{};
    if (!known.empty()) {
        for (std::size_t i = 0; i < n; ++i) grid.set_jet(i, transform.jet(known[i]));
    } else {
        const std::span<Transform::Parts> into =
            kept != nullptr ? kept->keep(transform, x_min, step, n) : std::span<Transform::Parts>{};
        for (std::size_t i = 0; i < n; ++i) {
            const Transform::Parts p = transform.parts(x[i]);
            if (!into.empty()) into[i] = p;
            grid.set_jet(i, transform.jet(p));
        }
    }
    grid.mark_jets_kept();
    grid.update_steps();
}

}  // namespace zub
