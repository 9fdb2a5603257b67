#include "math/lane_math.hpp"

#include <cstdint>

#include "core/vector_clones.hpp"

namespace zub {
namespace {

// Four doubles and four 64-bit integers side by side.  Every element of an
// operation rounds as the scalar operation does.
using V = double __attribute__((vector_size(32)));
using I = std::int64_t __attribute__((vector_size(32)));
constexpr std::size_t kWidth = 4;

// Round to nearest integer by adding and subtracting 1.5 * 2^52 (|x| < 2^51).
constexpr double kShifter = 0x1.8p52;

// e^{a + b}, b a correction to a (b = 0 for a plain argument): the multiple
// k of ln 2 from the rounded sum, then the reduced argument kept in two
// parts, hi = a - k ln2_hi exact and lo = k ln2_lo - b, as fdlibm keeps its
// own reduction error.
[[gnu::always_inline]] inline void exp_parts(const V& a, const V& b, V& out) noexcept {
    constexpr double kInvLn2 = 1.44269504088896338700e+00, kLn2Hi = 6.93147180369123816490e-01,
                     kLn2Lo = 1.90821492927058770002e-10;
    constexpr double kP1 = 1.66666666666666019037e-01, kP2 = -2.77777777770155933842e-03,
                     kP3 = 6.61375632143793436117e-05, kP4 = -1.65339022054652515390e-06,
                     kP5 = 4.13813679705723846039e-08;
    const V sum = a + b;
    // Beyond +-800 only the overflow and underflow below matter; a NaN passes.
    V s = sum > 800.0 ? V{} + 800.0 : sum;
    s = s < -800.0 ? V{} - 800.0 : s;
    const V k = (s * kInvLn2 + kShifter) - kShifter;
    const V hi = a - k * kLn2Hi;
    const V lo = k * kLn2Lo - b;
    const V r = hi - lo;
    const V t = r * r;
    const V c = r - t * (kP1 + t * (kP2 + t * (kP3 + t * (kP4 + t * kP5))));
    const V y = 1.0 - ((lo - (r * c) / (2.0 - c)) - hi);
    // 2^k as 2^k1 2^k2, |k1|, |k2| <= 578, so that a result near either end
    // of the range rounds once, at the second product.
    const V k1 = (k * 0.5 + kShifter) - kShifter, k2 = k - k1;
    const I bias = __builtin_bit_cast(I, V{} + kShifter);
    const I e1 = (__builtin_bit_cast(I, k1 + kShifter) - bias + 1023) << 52;
    const I e2 = (__builtin_bit_cast(I, k2 + kShifter) - bias + 1023) << 52;
    V v = y * __builtin_bit_cast(V, e1) * __builtin_bit_cast(V, e2);
    v = sum > 709.8 ? V{} + __builtin_huge_val() : v;
    out = sum < -746.0 ? V{} : v;
}

// fdlibm's erf and erfc coefficients.  Numerators c[0] + t (c[1] + ...), and
// denominators 1 + t (c[0] + t (c[1] + ...)), padded with zeros at the top to
// eight terms, which leaves each Horner sum's bits as the shorter one's.
// Per row: |w| < 0.84375 in t = w^2; 0.84375 <= |w| < 1.25 in t = |w| - 1;
// 1.25 <= |w| < 1 / 0.35 and above, in t = 1 / w^2.
struct Rational {
    double num[8], den[8];
};
constexpr Rational kRational[4] = {
    {{1.28379167095512558561e-01, -3.25042107247001499370e-01, -2.84817495755985104766e-02,
      -5.77027029648944159157e-03, -2.37630166566501626084e-05, 0, 0, 0},
     {3.97917223959155352819e-01, 6.50222499887672944485e-02, 5.08130628187576562776e-03,
      1.32494738004321644526e-04, -3.96022827877536812320e-06, 0, 0, 0}},
    {{-2.36211856075265944077e-03, 4.14856118683748331666e-01, -3.72207876035701323847e-01,
      3.18346619901161753674e-01, -1.10894694282396677476e-01, 3.54783043256182359371e-02,
      -2.16637559486879084300e-03, 0},
     {1.06420880400844228286e-01, 5.40397917702171048937e-01, 7.18286544141962662868e-02,
      1.26171219808761642112e-01, 1.36370839120290507362e-02, 1.19844998467991074170e-02, 0, 0}},
    {{-9.86494403484714822705e-03, -6.93858572707181764372e-01, -1.05586262253232909814e+01,
      -6.23753324503260060396e+01, -1.62396669462573470355e+02, -1.84605092906711035994e+02,
      -8.12874355063065934246e+01, -9.81432934416914548592e+00},
     {1.96512716674392571292e+01, 1.37657754143519042600e+02, 4.34565877475229228821e+02,
      6.45387271733267880336e+02, 4.29008140027567833386e+02, 1.08635005541779435134e+02,
      6.57024977031928170135e+00, -6.04244152148580987438e-02}},
    {{-9.86494292470009928597e-03, -7.99283237680523006574e-01, -1.77579549177547519889e+01,
      -1.60636384855821916062e+02, -6.37566443368389627722e+02, -1.02509513161107724954e+03,
      -4.83519191608651397019e+02, 0},
     {3.03380607434824582924e+01, 3.25792512996573918826e+02, 1.53672958608443695994e+03,
      3.19985821950859553908e+03, 2.55305040643316442583e+03, 4.74528541206955367215e+02,
      -2.24409524465858183362e+01, 0}},
};

// Term j of `terms` from row 0 where in_a, else row 1 where in_b, else row 2
// where in_c, else row 3.
[[gnu::always_inline]] inline void select_row(const I& in_a, const I& in_b, const I& in_c,
                                              const double (Rational::*terms)[8], std::size_t j, V& out) noexcept {
    out = in_a ? V{} + (kRational[0].*terms)[j]
               : in_b ? V{} + (kRational[1].*terms)[j]
                      : in_c ? V{} + (kRational[2].*terms)[j] : V{} + (kRational[3].*terms)[j];
}

// The numerator and the denominator's sum of one row for every lane.
[[gnu::always_inline]] inline void horner(const Rational& row, const V& t, V& num, V& den) noexcept {
    num = V{} + row.num[7];
    den = V{} + row.den[7];
#pragma GCC unroll 8
    for (std::size_t j = 7; j-- > 0;) {
        num = row.num[j] + t * num;
        den = row.den[j] + t * den;
    }
}

// N(x) = erfc(w) / 2, w = -x / sqrt 2, by fdlibm's erfc, and n(x).  In the
// tails, |w| >= 1.25, erfc(|w|) = exp(-w^2 - 0.5625 + R/S) / |w| is taken as
// 2 n(x) exp(R/S + ln(sqrt pi) - 0.5625) / |x|, which shares the density's
// exact exponent.
[[gnu::always_inline]] inline void cdf_pdf(const V& x, V& cdf, V& pdf) noexcept {
    constexpr double kInvRoot2Pi = 0.3989422804014327, kTailShift = 0.009864942924700087;  // ln(sqrt pi) - 0.5625
    constexpr double kErx = 8.45062911510467529297e-01;
    V ax = x < 0.0 ? -x : x;
    ax = ax > 40.0 ? V{} + 40.0 : ax;  // n(40) is 0 already
    const V head = __builtin_bit_cast(V, __builtin_bit_cast(I, ax) & static_cast<std::int64_t>(0xffffffff00000000ull));
    V e;
    exp_parts(-0.5 * (head * head), -0.5 * ((ax - head) * (ax + head)), e);
    pdf = e * kInvRoot2Pi;

    // The division as the scalar N(x) takes it.
    const V w = -x / 1.4142135623730951;
    const V aw = w < 0.0 ? -w : w;
    const I in_a = aw < 0.84375, in_b = aw < 1.25, in_c = aw < 0x1.6db6ep+1;
    const V t = in_a ? aw * aw : (in_b ? aw - 1.0 : 1.0 / (aw * aw));
    // Each lane's coefficients, by its range; one row for all four when
    // they share it, which gives the same sums.
    V num, den;
    const I row = in_a ? I{} : (in_b ? I{} + 1 : (in_c ? I{} + 2 : I{} + 3));
    const bool shared = row[0] == row[1] && row[0] == row[2] && row[0] == row[3];
    if (shared && row[0] == 0) {
        horner(kRational[0], t, num, den);
    } else if (shared && row[0] == 1) {
        horner(kRational[1], t, num, den);
    } else if (shared && row[0] == 2) {
        horner(kRational[2], t, num, den);
    } else if (shared) {
        horner(kRational[3], t, num, den);
    } else {
        V c;
        select_row(in_a, in_b, in_c, &Rational::num, 7, num);
        select_row(in_a, in_b, in_c, &Rational::den, 7, den);
#pragma GCC unroll 8
        for (std::size_t j = 7; j-- > 0;) {
            select_row(in_a, in_b, in_c, &Rational::num, j, c);
            num = c + t * num;
            select_row(in_a, in_b, in_c, &Rational::den, j, c);
            den = c + t * den;
        }
    }
    const V ratio = num / (1.0 + t * den);

    const V erfc_a = w < 0.25 ? 1.0 - (w + w * ratio) : 0.5 - ((w - 0.5) + w * ratio);
    const V erfc_b = w >= 0.0 ? (1.0 - kErx) - ratio : 1.0 + (kErx + ratio);
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
    bool tail = false;
    for (std::size_t i = 0; i < kWidth; ++i) tail = tail || !in_b[i];
    if (tail) {
        V scale;
        exp_parts(ratio + kTailShift, V{}, scale);
        const V half_tail = pdf * scale / ax;  // erfc(|w|) / 2
        out = in_b ? out : (w > 0.0 ? half_tail : 1.0 - half_tail);
    }
    cdf = out;
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

}  // namespace

// The loops are written out in each function: a lambda would be built for
// the baseline alone, outside the vector clones.  A last, partial block is
// padded with zeros.
ZUB_VECTOR_CLONES void exp_lanes(const double* x, double* out, std::size_t count) noexcept {
    for (std::size_t at = 0; at < count; at += kWidth) {
        const std::size_t width = count - at < kWidth ? count - at : kWidth;
        V a, e;
        load(x + at, width, a);
        exp_parts(a, V{}, e);
        store(out + at, e, width);
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
