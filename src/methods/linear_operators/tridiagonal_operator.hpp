// Square tridiagonal operator L stored as three diagonals, with the implicit
// solve (I - c L) u = r and its cached factorisation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zub {

class TridiagonalOperator {
public:
    // All rows zero.  Throws Panic "TridiagonalOperator requires at least 3
    // elements, found N" when n < 3.
    explicit TridiagonalOperator(std::size_t n);
    // From three diagonals of equal length; lower[0] and upper[N-1] are
    // never read.  Same failure as above.
    TridiagonalOperator(std::span<const double> lower, std::span<const double> diag, std::span<const double> upper);

    std::size_t size() const noexcept { return n_; }
    std::span<const double> lower() const noexcept { return {block_.data(), n_}; }
    std::span<const double> diag() const noexcept { return {block_.data() + n_, n_}; }
    std::span<const double> upper() const noexcept { return {block_.data() + 2 * n_, n_}; }

    // Sets row i to (lower, diag, upper); drops the factorisation and any
    // boundary-row marking of row i.
    void set_row(std::size_t i, double lower, double diag, double upper) noexcept;

    // The three diagonals, for a caller that sets every row: drops the
    // factorisation and the boundary-row markings, as set_row does.
    struct Diagonals {
        double* lower;
        double* diag;
        double* upper;
    };
    Diagonals diagonals_mut() noexcept {
        cached_ = false;
        neumann_first_ = false;
        neumann_last_ = false;
        return {lo(), di(), up()};
    }
    // out = L v.  Throws Panic when a vector's length is not N.
    void apply(std::span<const double> v, std::span<double> out) const;

    // Row 0 becomes (0, -1, +1), row N-1 becomes (-1, +1, 0): first
    // differences.  Drops the cached factorisation.  Any other i changes no
    // coefficient.  A row set this way is taken by solve_implicit as a
    // boundary equation in its own right: u_1 - u_0 = r_0 and
    // u_{N-1} - u_{N-2} = r_{N-1}.
    void set_neumann_row(std::size_t i) noexcept;

    // out = (I - c L)^-1 r, the boundary rows marked by set_neumann_row
    // being solved as they stand.  Reuses the cached factorisation while c
    // stays within 1e-12 of the coefficient it was built for.  scratch
    // receives the forward sweep.  No pivoting: a zero pivot gives inf/NaN.
    // Throws Panic when a vector's length is not N.
    void solve_implicit(std::span<const double> r, double c, std::span<double> out, std::span<double> scratch) const;

    // The factorisation solve_implicit uses for c (built first when the
    // cached one is for another c): elimination lower and upper factors and
    // pivot inverses, N each.
    struct Factors {
        const double* lower;
        const double* upper;
        const double* pivot_inv;
    };
    Factors factors_for(double c) const;
    // Whether factors_for(c) would factorise first.
    bool needs_factors(double c) const noexcept;
    // Factorises operators of one size for their weights, up to kMaxLanes
    // in one loop, each to exactly the factors it would build alone: the pivots'
    // divisions are a chain of dependent operations that leaves the core
    // idle, and the chains of several operators overlap.
    static void factorise_together(std::span<const TridiagonalOperator* const> ops, std::span<const double> c);

    // How many factorisations solve_implicit has built so far.
    std::uint64_t factorisations() const noexcept { return factorisations_; }
    // A number that names the current factorisation: no other
    // factorisation in the process, of this operator or another, gets it.
    std::uint64_t factorisation_id() const noexcept { return factorisation_id_; }

private:
    double* lo() noexcept { return block_.data(); }
    double* di() noexcept { return block_.data() + n_; }
    double* up() noexcept { return block_.data() + 2 * n_; }
    void factorise(double c) const;
    template <std::size_t K>
    static void factorise_abreast(const TridiagonalOperator* const* ops, const double* c);
    void check_length(std::size_t len) const;

    std::size_t n_;
    // lower | diag | upper
    std::vector<double> block_;
    bool neumann_first_ = false;
    bool neumann_last_ = false;

    // Factorisation cache: elim_lower | elim_upper | pivot_inv, built lazily.
    mutable std::vector<double> cache_;
    mutable double cached_c_ = 0.0;
    mutable bool cached_ = false;
    mutable std::uint64_t factorisations_ = 0;
    mutable std::uint64_t factorisation_id_ = 0;
};

}  // namespace zub
