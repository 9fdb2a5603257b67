// Two floors for the European price and five Greeks over arrays, against
// which the array module is timed: the formula as this library writes it
// (the normal CDF as (erf(x / sqrt 2) + 1) / 2 with the fdlibm error
// function, four CDF arguments per option) with exp and log taken through
// the C library's vector functions, and the formula with every function,
// the CDF by erfc included, through those vector functions.  Per-option
// years to expiry are given; no expiry is converted.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "math/normal.hpp"

namespace {

constexpr std::size_t kChunk = 256;

// d1, d2, the density at d1 and the discount factors of options [0, n),
// n <= kChunk: a loop the compiler hands to the vector exp and log.
void first_pass(std::size_t n, double S, const double* K, const double* T, double sigma, double r, double q,
                double* d1, double* d2, double* density, double* dr, double* dq, double* root) {
#pragma omp simd
    for (std::size_t i = 0; i < n; ++i) {
        const double s = std::sqrt(T[i]), v = sigma * s;
        d1[i] = (std::log(S / K[i]) + ((r - q) + 0.5 * sigma * sigma) * T[i]) / v;
        d2[i] = d1[i] - v;
        density[i] = std::exp(-0.5 * d1[i] * d1[i]) / 2.5066282746310002;
        dr[i] = std::exp(-r * T[i]);
        dq[i] = std::exp(-q * T[i]);
        root[i] = s;
    }
}

// The Greeks from the four probabilities.
inline void finish(std::size_t at, bool call, double S, double K, double T, double sigma, double r, double q,
                   double nd1, double nmd1, double nd2, double nmd2, double n, double dr, double dq, double s,
                   double* const* out) {
    out[0][at] = call ? nd1 * S * dq - K * dr * nd2 : K * dr * nmd2 - nmd1 * S * dq;
    out[1][at] = call ? dq * nd1 : dq * (nd1 - 1.0);
    out[2][at] = dq * n / (S * sigma * s);
    out[3][at] = call ? nd1 * S * q * dq - S * dq * n * sigma / (2.0 * s) - nd2 * K * r * dr
                      : -sigma * S * dq * n / (2.0 * s) - nmd1 * S * q * dq + nmd2 * K * r * dr;
    out[4][at] = s * S * dq * n;
    out[5][at] = call ? K * T * dr * nd2 : -(K * T * dr * nmd2);
}

}  // namespace

extern "C" {

void floor_written(std::size_t count, double S, const double* K, const double* T, const std::uint8_t* call,
                   double sigma, double r, double q, double* const* out) {
    double d1[kChunk], d2[kChunk], density[kChunk], dr[kChunk], dq[kChunk], root[kChunk];
    for (std::size_t first = 0; first < count; first += kChunk) {
        const std::size_t n = count - first < kChunk ? count - first : kChunk;
        first_pass(n, S, K + first, T + first, sigma, r, q, d1, d2, density, dr, dq, root);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t at = first + i;
            finish(at, call[at] == 0, S, K[at], T[at], sigma, r, q, zub::norm_cdf(d1[i]), zub::norm_cdf(-d1[i]),
                   zub::norm_cdf(d2[i]), zub::norm_cdf(-d2[i]), density[i], dr[i], dq[i], root[i], out);
        }
    }
}

void floor_vector_library(std::size_t count, double S, const double* K, const double* T, const std::uint8_t* call,
                          double sigma, double r, double q, double* const* out) {
    double d1[kChunk], d2[kChunk], density[kChunk], dr[kChunk], dq[kChunk], root[kChunk];
    double p[4][kChunk];
    for (std::size_t first = 0; first < count; first += kChunk) {
        const std::size_t n = count - first < kChunk ? count - first : kChunk;
        first_pass(n, S, K + first, T + first, sigma, r, q, d1, d2, density, dr, dq, root);
#pragma omp simd
        for (std::size_t i = 0; i < n; ++i) {
            p[0][i] = 0.5 * std::erfc(-d1[i] * 0.7071067811865476);
            p[1][i] = 0.5 * std::erfc(d1[i] * 0.7071067811865476);
            p[2][i] = 0.5 * std::erfc(-d2[i] * 0.7071067811865476);
            p[3][i] = 0.5 * std::erfc(d2[i] * 0.7071067811865476);
        }
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t at = first + i;
            finish(at, call[at] == 0, S, K[at], T[at], sigma, r, q, p[0][i], p[1][i], p[2][i], p[3][i], density[i],
                   dr[i], dq[i], root[i], out);
        }
    }
}

}  // extern "C"
