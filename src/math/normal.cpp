#include "math/normal.hpp"

#include <bit>
#include <cmath>
#include <cstdint>

namespace zub {
namespace {

// Coefficients of the rational approximations, one block per range of |x|.

// erf(x) = x + x*P(x^2)/Q(x^2) on |x| < 0.84375.
constexpr double kEfx = 1.28379167095512586316e-01;   // 2/sqrt(pi) - 1
constexpr double kEfx8 = 1.02703333676410069053e+00;  // 8 * kEfx
constexpr double kPp[] = {1.28379167095512558561e-01, -3.25042107247001499370e-01, -2.84817495755985104766e-02,
                          -5.77027029648944159157e-03, -2.37630166566501626084e-05};
constexpr double kQq[] = {3.97917223959155352819e-01, 6.50222499887672944485e-02, 5.08130628187576562776e-03,
                          1.32494738004321644526e-04, -3.96022827877536812320e-06};

// erf(x) = erx + P(s)/Q(s), s = |x| - 1, on 0.84375 <= |x| < 1.25.
constexpr double kErx = 8.45062911510467529297e-01;
constexpr double kPa[] = {-2.36211856075265944077e-03, 4.14856118683748331666e-01, -3.72207876035701323847e-01,
                          3.18346619901161753674e-01,  -1.10894694282396677476e-01, 3.54783043256182359371e-02,
                          -2.16637559486879084300e-03};
constexpr double kQa[] = {1.06420880400844228286e-01, 5.40397917702171048937e-01, 7.18286544141962662868e-02,
                          1.26171219808761642112e-01, 1.36370839120290507362e-02, 1.19844998467991074170e-02};

// erfc(x) = exp(-x^2 - 0.5625 + R(s)/S(s)) / x, s = 1/x^2, on 1.25 <= |x| < 1/0.35.
constexpr double kRa[] = {-9.86494403484714822705e-03, -6.93858572707181764372e-01, -1.05586262253232909814e+01,
                          -6.23753324503260060396e+01, -1.62396669462573470355e+02, -1.84605092906711035994e+02,
                          -8.12874355063065934246e+01, -9.81432934416914548592e+00};
constexpr double kSa[] = {1.96512716674392571292e+01, 1.37657754143519042600e+02, 4.34565877475229228821e+02,
                          6.45387271733267880336e+02, 4.29008140027567833386e+02, 1.08635005541779435134e+02,
                          6.57024977031928170135e+00, -6.04244152148580987438e-02};

// The same form on 1/0.35 <= |x| < 6.
constexpr double kRb[] = {-9.86494292470009928597e-03, -7.99283237680523006574e-01, -1.77579549177547519889e+01,
                          -1.60636384855821916062e+02, -6.37566443368389627722e+02, -1.02509513161107724954e+03,
                          -4.83519191608651397019e+02};
constexpr double kSb[] = {3.03380607434824582924e+01, 3.25792512996573918826e+02, 1.53672958608443695994e+03,
                          3.19985821950859553908e+03, 2.55305040643316442583e+03, 4.74528541206955367215e+02,
                          -2.24409524465858183362e+01};

// c[0] + z*(c[1] + z*(... + z*c[N-1])).
template <std::size_t N>
constexpr double horner(const double (&c)[N], double z) noexcept {
    double acc = c[N - 1];
    for (std::size_t k = N - 1; k-- > 0;) acc = c[k] + z * acc;
    return acc;
}

// 1 + z*(c[0] + z*(c[1] + ... )), the denominators' form.
template <std::size_t N>
constexpr double horner1(const double (&c)[N], double z) noexcept {
    return 1.0 + z * horner(c, z);
}

// erfc(ax) = exp(big) * exp(small) / ax for 1.25 <= ax, where
// big + small = -ax^2 - 0.5625 + R(s)/S(s), s = 1/ax^2: ax^2 is split as
// z^2 + (z - ax)(z + ax) with z = ax truncated to its high word, so that the
// large part is exact.
struct ErfcExponent {
    double big, small;
};

ErfcExponent erfc_exponent(double ax) noexcept {
    const auto ix = static_cast<uint32_t>(std::bit_cast<uint64_t>(ax) >> 32);
    const double s = 1.0 / (ax * ax);
    double r, q;
    if (ix < 0x4006db6eu) {  // ax < 1/0.35
        r = horner(kRa, s);
        q = horner1(kSa, s);
    } else {
        r = horner(kRb, s);
        q = horner1(kSb, s);
    }
    const double z = std::bit_cast<double>(std::bit_cast<uint64_t>(ax) & 0xffffffff00000000ull);
    return {-z * z - 0.5625, (z - ax) * (z + ax) + r / q};
}

}  // namespace

double log_norm_cdf(double x) noexcept {
    if (!(x < 0.0)) return std::isnan(x) ? x : std::log1p(-norm_cdf(-x));
    const double ax = -x / 1.4142135623730951;
    if (ax < 1.25) return std::log(norm_cdf(x));
    if (ax == INFINITY) return -INFINITY;
    // Beyond ax = 28, where erfc itself underflows, the approximation in
    // 1/ax^2 tends to the leading term of the asymptotic series.
    const ErfcExponent e = erfc_exponent(ax);
    return (e.big + e.small) - std::log(ax) - 0.6931471805599453;
}

double error_function(double x) noexcept {
    const uint64_t bits = std::bit_cast<uint64_t>(x);
    const auto hi = static_cast<uint32_t>(bits >> 32);
    const uint32_t ix = hi & 0x7fffffffu;
    const bool negative = (hi >> 31) != 0;

    if (ix >= 0x7ff00000u) {  // inf or NaN
        if (std::isnan(x)) return x;
        return negative ? -1.0 : 1.0;
    }
    if (ix < 0x3feb0000u) {  // |x| < 0.84375
        if (ix < 0x3e300000u) {  // |x| < 2^-28: erf(x) ~ 2x/sqrt(pi)
            // Scaled for subnormal x so that the product does not underflow early.
            if (ix < 0x00800000u) return 0.125 * (8.0 * x + kEfx8 * x);
            return x + kEfx * x;
        }
        const double z = x * x;
        const double y = horner(kPp, z) / horner1(kQq, z);
        return x + x * y;
    }
    if (ix < 0x3ff40000u) {  // 0.84375 <= |x| < 1.25
        const double s = std::fabs(x) - 1.0;
        const double p = horner(kPa, s);
        const double q = horner1(kQa, s);
        return negative ? -kErx - p / q : kErx + p / q;
    }
    if (ix >= 0x40180000u) return negative ? -1.0 : 1.0;  // |x| >= 6

    const double ax = std::fabs(x);
    const ErfcExponent e = erfc_exponent(ax);
    const double tail = std::exp(e.big) * std::exp(e.small) / ax;
    return negative ? tail - 1.0 : 1.0 - tail;
}

// erfc(x) e^{x^2}: from 0.46875 on by W. J. Cody's rational Chebyshev
// approximations of the scaled function ("Rational Chebyshev approximations
// for the error function", Math. Comp. 23, 1969), which need no exponential;
// below, erfc by fdlibm's inner ranges times e^{x^2}.
namespace {
constexpr double kCodyP2[] = {3.004592610201616005e2, 4.519189537118729422e2, 3.393208167343436870e2,
                              1.529892850469404039e2, 4.316222722205673530e1, 7.211758250883093659e0,
                              5.641955174789739711e-1, -1.368648573827167067e-7};
constexpr double kCodyQ2[] = {3.004592609569832933e2, 7.909509253278980272e2, 9.313540948506096211e2,
                              6.389802644656311665e2, 2.775854447439876434e2, 7.700015293522947295e1,
                              1.278272731962942351e1, 1.0};
constexpr double kCodyP3[] = {-2.99610707703542174e-3, -4.94730910623250734e-2, -2.26956593539686930e-1,
                              -2.78661308609647788e-1, -2.23192459734184686e-2};
constexpr double kCodyQ3[] = {1.06209230528467918e-2, 1.91308926107829841e-1, 1.05167510706793207e0,
                              1.98733201817135256e0, 1.0};
constexpr double kOneOverSqrtPi = 0.56418958354775628695;
}  // namespace

namespace {

// erfc(x) for 0 <= x < 0.46875 by fdlibm's innermost range.
double erfc_near_zero(double x) noexcept {
    const double z = x * x;
    const double y = horner(kPp, z) / horner1(kQq, z);
    return x < 0.25 ? 1.0 - (x + x * y) : 0.5 - (x * y + (x - 0.5));
}

// e^{x^2} with x^2 split exactly into hi + lo.
double exp_of_square(double x) noexcept {
    const double hi = x * x;
    const double lo = std::fma(x, x, -hi);
    return std::exp(hi) * (1.0 + lo);
}

}  // namespace

double scaled_erfc(double x, double exp_x_squared) noexcept {
    if (x >= 4.0) {
        const double z = 1.0 / (x * x);
        return (kOneOverSqrtPi + z * horner(kCodyP3, z) / horner(kCodyQ3, z)) / x;
    }
    if (x >= 0.46875) return horner(kCodyP2, x) / horner(kCodyQ2, x);
    if (!(exp_x_squared >= 0.5 && exp_x_squared < INFINITY)) exp_x_squared = exp_of_square(x);
    return erfc_near_zero(x) * exp_x_squared;
}

double scaled_erfc(double x) noexcept { return scaled_erfc(x, x < 0.46875 ? exp_of_square(x) : 1.0); }

}  // namespace zub
