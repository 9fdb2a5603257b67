// Elementary functions four elements at a time in straight-line vector
// code, and over arrays of arguments.  Each result depends on its own
// argument alone: an argument gives the same bits whatever its lane, its
// position in an array or the array's length.
//
// The functions on blocks (namespace lanes) are inlined into their callers,
// which are built for AVX2 and for the baseline (vector_clones.hpp); every
// element of an operation rounds as the scalar operation does, and no
// operation is contracted, so both builds give the same bits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zub {

namespace lanes {

// Four doubles and four 64-bit integers side by side.
using V = double __attribute__((vector_size(32)));
using I = std::int64_t __attribute__((vector_size(32)));
inline constexpr std::size_t kWidth = 4;

// Round to nearest integer by adding and subtracting 1.5 * 2^52 (|x| < 2^51).
inline constexpr double kShifter = 0x1.8p52;

[[gnu::always_inline]] inline bool any(const I& mask) noexcept {
    return (mask[0] | mask[1] | mask[2] | mask[3]) != 0;
}
// x with the low 32 bits of its significand cleared.
[[gnu::always_inline]] inline void high_word(const V& x, V& out) noexcept {
    out = __builtin_bit_cast(V, __builtin_bit_cast(I, x) & static_cast<std::int64_t>(0xffffffff00000000ull));
}

// e^{a + b}, b a correction to a (b = 0 for a plain argument), within an
// ulp: the reduction and rational form of fdlibm's exp.  The multiple k of
// ln 2 comes from the rounded sum, the reduced argument is kept in two
// parts, hi = a - k ln2_hi exact and lo = k ln2_lo - b.  0 below about
// -745.13, +inf above about 709.78, NaN at NaN.
[[gnu::always_inline]] inline void exp(const V& a, const V& b, V& out) noexcept {
    constexpr double kInvLn2 = 1.44269504088896338700e+00, kLn2Hi = 6.93147180369123816490e-01,
                     kLn2Lo = 1.90821492927058770002e-10;
    constexpr double kP1 = 1.66666666666666019037e-01, kP2 = -2.77777777770155933842e-03,
                     kP3 = 6.61375632143793436117e-05, kP4 = -1.65339022054652515390e-06,
                     kP5 = 4.13813679705723846039e-08;
    const V sum = a + b;
    // Beyond +-800 only the overflow and underflow below matter; a NaN passes.
    V s = sum > 800.0 ? (V{} + 800.0) : sum;
    s = s < -800.0 ? (V{} + -800.0) : s;
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
    const I bias = __builtin_bit_cast(I, (V{} + kShifter));
    const I e1 = (__builtin_bit_cast(I, k1 + kShifter) - bias + 1023) << 52;
    const I e2 = (__builtin_bit_cast(I, k2 + kShifter) - bias + 1023) << 52;
    V v = y * __builtin_bit_cast(V, e1) * __builtin_bit_cast(V, e2);
    v = sum > 709.8 ? (V{} + __builtin_huge_val()) : v;
    out = sum < -746.0 ? V{} : v;
}

// 2^(j / 128) for j = 0..127, each as a double and the rest: element 2j
// and element 2j + 1.
extern const double kExp2Table[256];

// e^x within about 0.51 ulp, nearly always the rounded value: x = k ln2/128
// + r, |r| <= ln2/256, e^x = 2^(k / 128) e^r with 2^(j / 128), j = k mod
// 128, from the table (in two parts) and e^r - 1 by its Taylor polynomial
// of degree 5 (truncated below 2^-60).  No division.  0 below about
// -745.13, +inf above about 709.78, NaN at NaN.
[[gnu::always_inline]] inline void table_exp(const V& x, V& out) noexcept {
    constexpr double kInv = 0x1.71547652b82fep+7;  // 128 / ln 2
    // ln2 / 128 in a head of 32 bits, exact times any k here, and the rest.
    constexpr double kHi = 0x1.62e42fee00000p-8, kLo = 0x1.a39ef35793c76p-40;
    V s = x > 800.0 ? (V{} + 800.0) : x;
    s = s < -800.0 ? (V{} - 800.0) : s;
    const V kf = (s * kInv + kShifter) - kShifter;
    const V r = (s - kf * kHi) - kf * kLo;
    const I k = __builtin_convertvector(kf, I);
    const I j = (k & 127) * 2, m = k >> 7;
    V head, rest;
    for (std::size_t l = 0; l < kWidth; ++l) {
        head[l] = kExp2Table[j[l]];
        rest[l] = kExp2Table[j[l] + 1];
    }
    const V p = r + r * r * (0.5 + r * (1.0 / 6 + r * (1.0 / 24 + r * (1.0 / 120))));
    const V y = head + (rest + head * p);
    // 2^m as 2^m1 2^m2, so that a result near either end of the range
    // rounds once, at the second product.
    const I m1 = m >> 1, m2 = m - m1;
    V v = y * __builtin_bit_cast(V, (m1 + 1023) << 52) * __builtin_bit_cast(V, (m2 + 1023) << 52);
    v = x > 709.8 ? (V{} + __builtin_huge_val()) : v;
    v = x < -746.0 ? V{} : v;
    out = x != x ? x : v;
}

// ln x within an ulp: x = 2^k (1 + f), 1 + f in [sqrt(2)/2, sqrt(2)),
// ln(1 + f) = 2 atanh(s), s = f / (2 + f), by fdlibm's polynomial in s^2.
// -inf at 0, NaN below 0 and at NaN, +inf at +inf.
[[gnu::always_inline]] inline void log(const V& x, V& out) noexcept {
    constexpr double kLn2Hi = 6.93147180369123816490e-01, kLn2Lo = 1.90821492927058770002e-10;
    constexpr double kLg1 = 6.666666666666735130e-01, kLg2 = 3.999999999940941908e-01,
                     kLg3 = 2.857142874366239149e-01, kLg4 = 2.222219843214978396e-01,
                     kLg5 = 1.818357216161805012e-01, kLg6 = 1.531383769920937332e-01,
                     kLg7 = 1.479819860511658591e-01;
    // Subnormals scaled into the normal range first.
    const I subnormal = x < 0x1p-1022;
    const V scaled = subnormal ? x * 0x1p54 : x;
    const I bits = __builtin_bit_cast(I, scaled);
    I hx = bits >> 32;
    I k = (hx >> 20) - 1023 - (subnormal & 54);
    hx &= 0x000fffff;
    // The significand, halved when above sqrt(2), whose exponent goes to k.
    const I up = (hx + 0x95f64) & 0x100000;
    const I normalised = ((hx | (up ^ 0x3ff00000)) << 32) | (bits & 0xffffffff);
    k += up >> 20;
    const V f = __builtin_bit_cast(V, normalised) - 1.0;
    const V s = f / (2.0 + f);
    const V dk = __builtin_convertvector(k, V);
    const V z = s * s, w = z * z;
    const V t1 = w * (kLg2 + w * (kLg4 + w * kLg6));
    const V t2 = z * (kLg1 + w * (kLg3 + w * (kLg5 + w * kLg7)));
    const V R = t2 + t1;
    // Away from 1 + f = 1 the square term is taken apart for accuracy.
    const I far = ((hx - 0x6147a) | (0x6b851 - hx)) > 0;
    const V hfsq = 0.5 * f * f;
    const V with_square = dk * kLn2Hi - ((hfsq - (s * (hfsq + R) + dk * kLn2Lo)) - f);
    const V plain = dk * kLn2Hi - ((s * (f - R) - dk * kLn2Lo) - f);
    V v = far ? with_square : plain;
    v = x == __builtin_huge_val() ? x : v;
    v = x == 0.0 ? (V{} + -__builtin_huge_val()) : v;
    out = x < 0.0 || x != x ? (V{} + __builtin_nan("")) : v;
}

// fdlibm's erf and erfc coefficients.  Numerators c[0] + t (c[1] + ...), and
// denominators 1 + t (c[0] + t (c[1] + ...)), padded with zeros at the top to
// eight terms, which leaves each Horner sum's bits as the shorter one's.
// Per row: |w| < 0.84375 in t = w^2; 0.84375 <= |w| < 1.25 in t = |w| - 1;
// 1.25 <= |w| < 1 / 0.35 and above, in t = 1 / w^2.
struct Rational {
    double num[8], den[8];
};
inline constexpr Rational kErfRational[4] = {
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
inline constexpr double kErx = 8.45062911510467529297e-01;

// The numerator and the denominator's sum of one row for every lane.
[[gnu::always_inline]] inline void horner(const Rational& row, const V& t, V& num, V& den) noexcept {
    num = (V{} + row.num[7]);
    den = (V{} + row.den[7]);
#pragma GCC unroll 8
    for (std::size_t j = 7; j-- > 0;) {
        num = row.num[j] + t * num;
        den = row.den[j] + t * den;
    }
}

// Term j of `terms` from each lane's row.
[[gnu::always_inline]] inline void pick(const I& in_a, const I& in_b, const I& in_c,
                                        const double (Rational::*terms)[8], std::size_t j, V& out) noexcept {
    out = in_a ? (V{} + (kErfRational[0].*terms)[j])
               : in_b ? (V{} + (kErfRational[1].*terms)[j])
                      : in_c ? (V{} + (kErfRational[2].*terms)[j]) : (V{} + (kErfRational[3].*terms)[j]);
}

// num / (1 + t den) with each lane's row (0 to 3), one row for all four
// when they share it, which gives the same sums.
[[gnu::always_inline]] inline void rational(const I& row, const V& t, V& out) noexcept {
    V num, den;
    if (row[0] == row[1] && row[0] == row[2] && row[0] == row[3]) {
        horner(kErfRational[row[0] & 3], t, num, den);
    } else {
        const I in_a = row == 0, in_b = row == 1, in_c = row == 2;
        V c;
        pick(in_a, in_b, in_c, &Rational::num, 7, num);
        pick(in_a, in_b, in_c, &Rational::den, 7, den);
#pragma GCC unroll 8
        for (std::size_t j = 7; j-- > 0;) {
            pick(in_a, in_b, in_c, &Rational::num, j, c);
            num = c + t * num;
            pick(in_a, in_b, in_c, &Rational::den, j, c);
            den = c + t * den;
        }
    }
    out = num / (1.0 + t * den);
}

// The error function, fdlibm's on its four ranges, to the bit what
// error_function (normal.hpp) gives, but for its two exponentials in the
// tails, 1.25 <= |x| < 6, which are table_exp() above rather than the C
// library's.
[[gnu::always_inline]] inline void erf(const V& x, V& out) noexcept {
    constexpr double kEfx = 1.28379167095512586316e-01, kEfx8 = 1.02703333676410069053e+00;
    const V ax = x < 0.0 ? -x : x;
    const I in_a = ax < 0.84375, in_b = ax < 1.25, in_c = ax < 0x1.6db6ep+1;
    const I row = in_a ? I{} : in_b ? I{} + 1 : in_c ? I{} + 2 : I{} + 3;
    const V t = in_a ? x * x : in_b ? ax - 1.0 : 1.0 / (ax * ax);
    V y;
    rational(row, t, y);
    V v = in_a ? x + x * y : (x < 0.0 ? -kErx - y : kErx + y);
    const I tail = ~in_b & (ax < 6.0);
    if (any(tail)) {
        // erfc(|x|) = exp(-z^2 - 0.5625) exp((z - |x|)(z + |x|) + R/S) / |x|,
        // z = |x| with its low word cleared, so that z^2 is exact.
        V z;
        high_word(ax, z);
        V big, small;
        table_exp(-z * z - 0.5625, big);
        table_exp((z - ax) * (z + ax) + y, small);
        const V erfc = big * small / ax;
        v = tail ? (x < 0.0 ? erfc - 1.0 : 1.0 - erfc) : v;
    }
    v = ax >= 6.0 ? (x < 0.0 ? (V{} + -1.0) : (V{} + 1.0)) : v;
    // Below 2^-28, 2x / sqrt(pi) as x + x (2 / sqrt(pi) - 1), scaled for a
    // subnormal x so that the product does not underflow early.
    v = ax < 0x1p-28 ? (ax < 0x1p-1015 ? 0.125 * (8.0 * x + kEfx8 * x) : x + kEfx * x) : v;
    out = x != x ? x : v;
}

}  // namespace lanes

// out[i] = erf(x[i]) for i < count, each what lanes::erf gives it; the
// arguments are sorted by range first, so that each block of four shares
// its rational approximation.  The arrays may coincide.
void error_function_lanes(const double* x, double* out, std::size_t count) noexcept;

// out[i] = e^{x[i]} for i < count, each what lanes::table_exp gives it.
void table_exp_lanes(const double* x, double* out, std::size_t count) noexcept;

// out[i] = ln x[i] for i < count, each what lanes::log gives it.
void log_lanes(const double* x, double* out, std::size_t count) noexcept;

// out[i] = e^{x[i]} for i < count, within an ulp (lanes::exp).  The arrays
// may coincide (out == x).
void exp_lanes(const double* x, double* out, std::size_t count) noexcept;

// cdf[i] = N(x[i]) and pdf[i] = exp(-x[i]^2 / 2) / sqrt(2 pi) for i < count,
// both within a few ulps relative to the function at x[i] itself, the lower
// tail included down to where N underflows (x about -38.5).  N is 0 at -inf
// and 1 at +inf, pdf 0 at both; NaN at NaN.  N is erfc(-x / sqrt 2) / 2 by
// fdlibm's rational approximations; in the tails exp(-x^2 / 2) is taken from
// x split into a 21-bit head and a tail, so that its exponent is exact, and
// serves both functions.
void normal_cdf_pdf_lanes(const double* x, double* cdf, double* pdf, std::size_t count) noexcept;

}  // namespace zub
