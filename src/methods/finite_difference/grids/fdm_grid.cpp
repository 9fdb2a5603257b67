#include "methods/finite_difference/grids/fdm_grid.hpp"

#include <new>

namespace zub {

namespace {

// 6n floats; a count whose block cannot exist fails as an allocation.
std::size_t checked_block(std::size_t n) {
    if (n > std::vector<double>().max_size() / 6) throw std::bad_alloc();
    return 6 * n;
}

}  // namespace

FdmGrid::FdmGrid(GridKind kind, const Transform& transform, std::size_t n)
    : kind_(kind), transform_(transform), n_(n), block_(checked_block(n), 0.0) {}

void FdmGrid::update_steps() noexcept {
    if (n_ == 0) return;
    const double* x = block_.data();
    double* fwd = block_.data() + n_;
    double* bwd = block_.data() + 2 * n_;
    for (std::size_t i = 0; i + 1 < n_; ++i) fwd[i] = x[i + 1] - x[i];
    fwd[n_ - 1] = 0.0;
    bwd[0] = 0.0;
    for (std::size_t i = 1; i < n_; ++i) bwd[i] = x[i] - x[i - 1];
}

void FdmGrid::shift_in_place(double d) noexcept {
    kind_ = GridKind::Fitted;
    jets_kept_ = false;
    double* x = block_.data();
    double* s = block_.data() + 3 * n_;
    for (std::size_t i = 0; i < n_; ++i) {
        s[i] += d;
        x[i] = transform_.to_coordinate(s[i]);
    }
    update_steps();
}

}  // namespace zub
