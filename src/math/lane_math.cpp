#include "math/lane_math.hpp"

#include <cstdint>

#include "core/vector_clones.hpp"

namespace zub {
namespace {

using lanes::I;
using lanes::kWidth;
using lanes::V;

// N(x) = erfc(w) / 2, w = -x / sqrt 2, by fdlibm's erfc, and n(x).  In the
// tails, |w| >= 1.25, erfc(|w|) = exp(-w^2 - 0.5625 + R/S) / |w| is taken as
// 2 n(x) exp(R/S + ln(sqrt pi) - 0.5625) / |x|, which shares the density's
// exact exponent.
[[gnu::always_inline]] inline void cdf_pdf(const V& x, V& cdf, V& pdf) noexcept {
    constexpr double kInvRoot2Pi = 0.3989422804014327, kTailShift = 0.009864942924700087;  // ln(sqrt pi) - 0.5625
    V ax = x < 0.0 ? -x : x;
    ax = ax > 40.0 ? V{} + 40.0 : ax;  // n(40) is 0 already
    V head;
    lanes::high_word(ax, head);
    V e;
    lanes::exp(-0.5 * (head * head), -0.5 * ((ax - head) * (ax + head)), e);
    pdf = e * kInvRoot2Pi;

    // The division as the scalar N(x) takes it.
    const V w = -x / 1.4142135623730951;
    const V aw = w < 0.0 ? -w : w;
    const I in_a = aw < 0.84375, in_b = aw < 1.25, in_c = aw < 0x1.6db6ep+1;
    const V t = in_a ? aw * aw : (in_b ? aw - 1.0 : 1.0 / (aw * aw));
    const I row = in_a ? I{} : (in_b ? I{} + 1 : (in_c ? I{} + 2 : I{} + 3));
    V ratio;
    lanes::rational(row, t, ratio);

    const V erfc_a = w < 0.25 ? 1.0 - (w + w * ratio) : 0.5 - ((w - 0.5) + w * ratio);
    const V erfc_b = w >= 0.0 ? (1.0 - lanes::kErx) - ratio : 1.0 + (lanes::kErx + ratio);
    // w is -x / sqrt 2 rounded, off by rho / sqrt 2, rho = -x - w sqrt 2, which
    // moves N by n(x) rho to first order: rho from Dekker's exact product.
    constexpr double kRoot2 = 1.4142135623730951, kRoot2Lo = -9.667293313452913e-17;
    constexpr double kSplit = 134217729.0, kRoot2Head = 1.4142135679721832, kRoot2Tail = kRoot2 - kRoot2Head;
    const V spread = w * kSplit, w_head = spread - (spread - w), w_tail = w - w_head;
    const V product = w * kRoot2;
    const V product_error = ((w_head * kRoot2Head - product) + w_head * kRoot2Tail + w_tail * kRoot2Head) +
                            w_tail * kRoot2Tail;
    const V rho = ((-x - product) - product_error) - w * kRoot2Lo;
    V out = (in_a ? 0.5 * erfc_a : 0.5 * erfc_b) - pdf * rho;
    if (lanes::any(~in_b)) {
        V scale;
        lanes::exp(ratio + kTailShift, V{}, scale);
        const V half_tail = pdf * scale / ax;  // erfc(|w|) / 2
        out = in_b ? out : (w > 0.0 ? half_tail : 1.0 - half_tail);
    }
    cdf = out;
}

// One Horner step of the numerators and the denominators of both blocks.
template <int Row>
[[gnu::always_inline]] inline void horner_step(std::size_t j, const V (&t)[2], V (&num)[2], V (&den)[2]) noexcept {
    for (std::size_t u = 0; u < 2; ++u) {
        num[u] = lanes::kErfRational[Row].num[j] + t[u] * num[u];
        den[u] = lanes::kErfRational[Row].den[j] + t[u] * den[u];
    }
}

// lanes::erf for two blocks of four arguments in range `Row` of its
// rational approximations, 2^-28 <= |x| < 6; the blocks' dependency chains
// are interleaved.
template <int Row>
[[gnu::always_inline]] inline void erf_in_range(const V (&x)[2], V (&out)[2]) noexcept {
    V ax[2], t[2], num[2], den[2], y[2];
    for (std::size_t u = 0; u < 2; ++u) {
        ax[u] = x[u] < 0.0 ? -x[u] : x[u];
        t[u] = Row == 0 ? x[u] * x[u] : Row == 1 ? ax[u] - 1.0 : 1.0 / (ax[u] * ax[u]);
        num[u] = V{} + lanes::kErfRational[Row].num[7];
        den[u] = V{} + lanes::kErfRational[Row].den[7];
    }
    // Written out: a loop annotation is not kept in a template.
    horner_step<Row>(6, t, num, den), horner_step<Row>(5, t, num, den), horner_step<Row>(4, t, num, den);
    horner_step<Row>(3, t, num, den), horner_step<Row>(2, t, num, den), horner_step<Row>(1, t, num, den);
    horner_step<Row>(0, t, num, den);
    for (std::size_t u = 0; u < 2; ++u) y[u] = num[u] / (1.0 + t[u] * den[u]);
    for (std::size_t u = 0; u < 2; ++u) {
        if constexpr (Row == 0) {
            out[u] = x[u] + x[u] * y[u];
        } else if constexpr (Row == 1) {
            out[u] = x[u] < 0.0 ? -lanes::kErx - y[u] : lanes::kErx + y[u];
        } else {
            V z, big, small;
            lanes::high_word(ax[u], z);
            lanes::table_exp(-z * z - 0.5625, big);
            lanes::table_exp((z - ax[u]) * (z + ax[u]) + y[u], small);
            const V erfc = big * small / ax[u];
            out[u] = x[u] < 0.0 ? erfc - 1.0 : 1.0 - erfc;
        }
    }
}

// The error function at x[index[0..n)], eight at a time, all in range `Row`
// (4: any argument); a last, partial group repeats its first argument.
template <int Row>
[[gnu::always_inline]] inline void erf_at(const double* x, double* out, const std::uint16_t* index,
                                          std::size_t n) noexcept {
    constexpr std::size_t kGroup = 2 * kWidth;
    for (std::size_t g = 0; g < n; g += kGroup) {
        double given[kGroup];
        for (std::size_t l = 0; l < kGroup; ++l) given[l] = x[index[g + (g + l < n ? l : 0)]];
        V a[2], e[2];
        __builtin_memcpy(a, given, sizeof a);
        if constexpr (Row < 4) {
            erf_in_range<Row>(a, e);
        } else {
            lanes::erf(a[0], e[0]);
            lanes::erf(a[1], e[1]);
        }
        for (std::size_t l = 0; l < kGroup && g + l < n; ++l) out[index[g + l]] = e[l / kWidth][l % kWidth];
    }
}

// A block from, or to, `width` consecutive doubles; the rest of a partial
// block reads as zeros.
[[gnu::always_inline]] inline void load(const double* at, std::size_t width, V& v) noexcept {
    if (width == kWidth) {
        __builtin_memcpy(&v, at, sizeof v);
        return;
    }
    double padded[kWidth] = {};
    for (std::size_t i = 0; i < width; ++i) padded[i] = at[i];
    __builtin_memcpy(&v, padded, sizeof v);
}

[[gnu::always_inline]] inline void store(double* at, const V& v, std::size_t width) noexcept {
    if (width == kWidth) {
        __builtin_memcpy(at, &v, sizeof v);
        return;
    }
    double padded[kWidth];
    __builtin_memcpy(padded, &v, sizeof v);
    for (std::size_t i = 0; i < width; ++i) at[i] = padded[i];
}

// The loops are inlined into each function (a lambda would be built for the
// baseline alone, outside the vector clones).  A last, partial block is
// padded with zeros.
enum class Unary { Exp, TableExp, Log };

template <Unary F>
[[gnu::always_inline]] inline void each_block(const double* x, double* out, std::size_t count) noexcept {
    for (std::size_t at = 0; at < count; at += kWidth) {
        const std::size_t width = count - at < kWidth ? count - at : kWidth;
        V a, e;
        load(x + at, width, a);
        if constexpr (F == Unary::Exp) {
            lanes::exp(a, V{}, e);
        } else if constexpr (F == Unary::TableExp) {
            lanes::table_exp(a, e);
        } else {
            lanes::log(a, e);
        }
        store(out + at, e, width);
    }
}

}  // namespace

ZUB_VECTOR_CLONES void exp_lanes(const double* x, double* out, std::size_t count) noexcept {
    each_block<Unary::Exp>(x, out, count);
}

ZUB_VECTOR_CLONES void table_exp_lanes(const double* x, double* out, std::size_t count) noexcept {
    each_block<Unary::TableExp>(x, out, count);
}

ZUB_VECTOR_CLONES void log_lanes(const double* x, double* out, std::size_t count) noexcept {
    each_block<Unary::Log>(x, out, count);
}

ZUB_VECTOR_CLONES void error_function_lanes(const double* x, double* out, std::size_t count) noexcept {
    // Chunks of arguments sorted into the four ranges and the rest (below
    // 2^-28, 6 and above, NaN), by index.
    constexpr std::size_t kChunk = 256;
    std::uint16_t index[5][kChunk];
    for (std::size_t at = 0; at < count; at += kChunk) {
        const std::size_t length = count - at < kChunk ? count - at : kChunk;
        // Each index is written to every range's list and counted in its
        // own: no counter waits on a store.
        std::size_t n[5] = {};
        for (std::size_t i = 0; i < length; ++i) {
            const double a = __builtin_fabs(x[at + i]);
            const bool plain = a >= 0x1p-28 && a < 6.0;
            const std::size_t row = plain ? std::size_t{a >= 0.84375} + (a >= 1.25) + (a >= 0x1.6db6ep+1) : 4;
            for (std::size_t k = 0; k < 5; ++k) {
                index[k][n[k]] = static_cast<std::uint16_t>(i);
                n[k] += row == k;
            }
        }
        const double* in = x + at;
        double* to = out + at;
        erf_at<0>(in, to, index[0], n[0]);
        erf_at<1>(in, to, index[1], n[1]);
        erf_at<2>(in, to, index[2], n[2]);
        erf_at<3>(in, to, index[3], n[3]);
        erf_at<4>(in, to, index[4], n[4]);
    }
}

ZUB_VECTOR_CLONES void normal_cdf_pdf_lanes(const double* x, double* cdf, double* pdf, std::size_t count) noexcept {
    for (std::size_t at = 0; at < count; at += kWidth) {
        const std::size_t width = count - at < kWidth ? count - at : kWidth;
        V a, c, p;
        load(x + at, width, a);
        cdf_pdf(a, c, p);
        store(cdf + at, c, width);
        store(pdf + at, p, width);
    }
}

}  // namespace zub
