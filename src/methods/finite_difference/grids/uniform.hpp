// Grid evenly spaced in the transformed coordinate, centred on the strike.
#pragma once

#include <cstddef>
#include <limits>
#include <span>
#include <vector>

#include "methods/finite_difference/fdm_config.hpp"
#include "methods/finite_difference/grids/fdm_grid.hpp"

namespace zub {

// Half-width in ln(S/K) of a domain centred on the strike that holds the
// spot: w0 = sqrt(T) sigma grid_std_devs when the spot's distance
// x = |ln(spot / strike)| is at most w0 / 2, else 1.5 x + w0 / 4 (equal to w0
// at x = w0 / 2, and leaving the spot x / 2 + w0 / 4 inside the edge).  A spot
// that is not positive and finite, a NaN strike or a w0 that is not positive
// keep w0.
double domain_half_width(double w0, double spot, double strike) noexcept;

// The jets' parts (Transform::parts) at the nodes of the last few uniform
// grids built with it, for later grids on the same coordinates.  The grid's
// coordinate is a function of ln(S/K): options at one expiry and volatility
// whose domains have the same width (their spot near enough their strike)
// lie on the same coordinates up to the rounding of their ends, which takes
// a handful of values over a whole chain of strikes.  Their grids then
// differ only in the multiplications by K.
class NodeParts {
public:
    // The parts at the n nodes x_min + i step of `transform`'s kind and
    // alpha, or an empty span when they are not kept.
    std::span<const Transform::Parts> find(const Transform& transform, double x_min, double step,
                                           std::size_t n) const noexcept;
    // Room for those parts, to be filled by the caller before the next find;
    // it replaces the grid kept longest when all places are taken.  Empty
    // when the memory for it cannot be had.
    std::span<Transform::Parts> keep(const Transform& transform, double x_min, double step, std::size_t n) noexcept;
    std::size_t bytes() const noexcept { return parts_.capacity() * sizeof(Transform::Parts); }

private:
    struct Key {
        TransformKind kind;
        double alpha;
        double x_min;
        double step;
    };
    // Up to kMaxGrids grids of kBudget bytes in all, and always one.
    static constexpr std::size_t kMaxGrids = 32;
    static constexpr std::size_t kBudget = std::size_t{256} << 10;

    std::size_t n_ = 0;  // nodes of every grid kept
    std::size_t places_ = 0;
    std::size_t oldest_ = 0;  // the place taken next once all are
    std::vector<Key> keys_;
    std::vector<Transform::Parts> parts_;  // place p at [p n_, (p + 1) n_)
};

// Nodes evenly spaced in x between to_coordinate(K e^-w) and
// to_coordinate(K e^w), w = domain_half_width(sqrt(T) sigma grid_std_devs,
// spot, K); without a spot (NaN) w is that first width.  With an odd node
// count the middle node lies on K up to rounding.  Nothing is checked: T <= 0
// or NaN inputs give coinciding or NaN nodes.
FdmGrid build_uniform_grid(const FdmConfig& settings, double strike, double sigma, double T,
                           double spot = std::numeric_limits<double>::quiet_NaN());
// The same grid built in place, into a grid of settings.grid_nodes nodes;
// with `kept`, the jets' parts are taken from it when they are there and
// left in it when they are not (the same numbers either way).
void build_uniform_grid(FdmGrid& grid, const FdmConfig& settings, double strike, double sigma, double T, double spot,
                        NodeParts* kept = nullptr);

}  // namespace zub
