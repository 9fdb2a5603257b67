// The spatial grid of the finite-difference engine and its coordinate
// transform between spot S and grid coordinate x.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "methods/finite_difference/fdm_config.hpp"

namespace zub {

// S(x) with its first two derivatives at one coordinate.
struct SpotJet {
    double spot;
    double slope;      // dS/dx
    double curvature;  // d2S/dx2
};

// log: x = ln S.  sinh: ln(S/K) = alpha sinh x, crowding nodes near K.
// Every kind other than Sinh is treated as log.
struct Transform {
    TransformKind kind = TransformKind::Sinh;
    double centre = 0.0;  // K
    double alpha = 0.3;

    bool is_sinh() const noexcept { return kind == TransformKind::Sinh; }

    double to_coordinate(double s) const noexcept {
        return is_sinh() ? std::asinh(std::log(s / centre) / alpha) : std::log(s);
    }
    double to_spot(double x) const noexcept {
        return is_sinh() ? centre * std::exp(alpha * std::sinh(x)) : std::exp(x);
    }
    double spot_slope(double x) const noexcept { return jet(x).slope; }
    double spot_curvature(double x) const noexcept { return jet(x).curvature; }

    // What the jet at x takes from the library's functions: sinh x, cosh x
    // and e^(a sinh x), or e^x alone for log.  None of it depends on K.
    struct Parts {
        double sh;
        double ch;
        double e;
    };
    Parts parts(double x) const noexcept {
        if (!is_sinh()) return {0.0, 0.0, std::exp(x)};
        const double sh = std::sinh(x);
        const double ch = std::cosh(x);
        return {sh, ch, std::exp(alpha * sh)};
    }

    // Evaluated as written, factor by factor from the left: S = K e^(a sinh x),
    // S' = a cosh x K e^(a sinh x), S'' = S (a sinh x + a^2 cosh^2 x).  The
    // American scheme turns last-bit differences in these into visible price
    // differences on fine grids with few steps, so the order is kept.
    SpotJet jet(const Parts& p) const noexcept {
        if (!is_sinh()) return {p.e, p.e, p.e};
        const double spot = centre * p.e;
        return {spot, alpha * p.ch * centre * p.e, spot * (alpha * p.sh + (alpha * alpha) * (p.ch * p.ch))};
    }
    SpotJet jet(double x) const noexcept { return jet(parts(x)); }
};

enum class GridKind : uint8_t { Uniform, Fitted };

// N nodes: coordinates x (increasing for sensible input), the steps to the
// neighbours (dx_forward[N-1] = dx_backward[0] = 0) and the node spots.  A
// builder that evaluates the transform's jet at every node may keep it
// (set_jet), so that the operator does not evaluate it again.
class FdmGrid {
public:
    // A grid of n nodes with every array zero; the builders fill it.
    FdmGrid(GridKind kind, const Transform& transform, std::size_t n);

    GridKind kind() const noexcept { return kind_; }
    const Transform& transform() const noexcept { return transform_; }
    std::size_t size() const noexcept { return n_; }
    std::span<const double> x() const noexcept { return {block_.data(), n_}; }
    std::span<const double> dx_forward() const noexcept { return {block_.data() + n_, n_}; }
    std::span<const double> dx_backward() const noexcept { return {block_.data() + 2 * n_, n_}; }
    std::span<const double> spots() const noexcept { return {block_.data() + 3 * n_, n_}; }
    // to_spot(x_i): the stored spot on a uniform grid, where the two agree
    // exactly; recomputed on a fitted one, whose given spots do not survive
    // the round trip through x to the bit, so that the operator's S agrees
    // with the coordinates it differentiates in.
    double spot_at_node(std::size_t i) const noexcept {
        return kind_ == GridKind::Uniform ? spots()[i] : transform_.to_spot(x()[i]);
    }

    // The transform's jet at node i: the one the builder kept, else
    // evaluated at x_i.
    SpotJet jet_at_node(std::size_t i) const noexcept {
        if (!jets_kept_) return transform_.jet(x()[i]);
        return {spots()[i], slopes()[i], curvatures()[i]};
    }
    // Whether the builder kept the jets; then dS/dx and d2S/dx2 at the nodes.
    bool jets_kept() const noexcept { return jets_kept_; }
    std::span<const double> slopes() const noexcept { return {block_.data() + 4 * n_, n_}; }
    std::span<const double> curvatures() const noexcept { return {block_.data() + 5 * n_, n_}; }

    // Another kind and transform for the same node count; the builder then
    // fills every array.
    void reset(GridKind kind, const Transform& transform) noexcept {
        kind_ = kind;
        transform_ = transform;
        jets_kept_ = false;
    }

    std::span<double> x_mut() noexcept { return {block_.data(), n_}; }
    std::span<double> spots_mut() noexcept { return {block_.data() + 3 * n_, n_}; }
    // Node i's spot and its derivatives; once every node's is set the grid
    // serves them from jet_at_node, until its coordinates move.
    void set_jet(std::size_t i, const SpotJet& j) noexcept {
        block_[3 * n_ + i] = j.spot;
        block_[4 * n_ + i] = j.slope;
        block_[5 * n_ + i] = j.curvature;
    }
    void mark_jets_kept() noexcept { jets_kept_ = true; }
    // Recomputes both step arrays from x.
    void update_steps() noexcept;
    // Spots and coordinates move by d (spots exactly S_i + d), steps are
    // recomputed; the grid becomes Fitted.
    void shift_in_place(double d) noexcept;

private:
    GridKind kind_;
    Transform transform_;
    std::size_t n_;
    bool jets_kept_ = false;
    // x | dx_forward | dx_backward | spots | dS/dx | d2S/dx2
    std::vector<double> block_;
};

}  // namespace zub
