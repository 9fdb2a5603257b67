#include "math/implied_black.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "math/normal.hpp"

namespace zub {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kSqrtTwoPi = 2.5066282746310002;
constexpr double kLnSqrtTwoPi = 0.91893853320467274178;
constexpr double kSqrtHalfPi = 1.2533141373155002512;
constexpr double kSqrt2 = 1.4142135623730951;
constexpr double kSqrt3 = 1.7320508075688772;
constexpr double kTwoPiOverThreeSqrt3 = 1.2091995761561452;  // 2 pi / (3 sqrt 3)
// Below this t = s/2 the difference of the two Mills ratios is summed as a
// Taylor series in t instead of subtracted.  Above it the subtraction
// loses at most a factor Y/(Y(h + t) - Y(h - t)) < 1.3/(2t) of its digits,
// which the conditioning of the inversion there (vol error = price error
// times about (Y(h + t) - Y(h - t))/s) turns into a few ulps of the vol.
constexpr double kSmallT = 0.05;

// Y(z) = N(z) / phi(z) for z <= 0: sqrt(pi/2) erfcx(-z / sqrt 2), with
// e^{z^2/2}, which erfcx needs near 0, given when the caller has it as a
// ratio of exponentials it already holds (0: work it out).
double mills(double z, double exp_half_z_squared = 0.0) noexcept {
    return kSqrtHalfPi * scaled_erfc(-z / kSqrt2, exp_half_z_squared);
}

// Y(h + t) - Y(h - t) for h <= 0 and t < kSmallT, from the Taylor
// coefficients a_n = Y^(n)(h)/n!, which Y' = 1 + hY turns into
// a_1 = 1 + h a_0 and (n + 1) a_{n+1} = h a_n + a_{n-1}: the odd ones times
// 2 t^n, up to t^13 (the next term is below 1e-17 of the sum for t < 0.05).
double mills_difference_series(double h, double t, double exp_half_h_squared) noexcept {
    const double w = t * t;
    const double a0 = mills(h, exp_half_h_squared);
    const double a1 = 1.0 + h * a0;
    const double a2 = (h * a1 + a0) * (1.0 / 2.0);
    const double a3 = (h * a2 + a1) * (1.0 / 3.0);
    const double a4 = (h * a3 + a2) * (1.0 / 4.0);
    const double a5 = (h * a4 + a3) * (1.0 / 5.0);
    const double a6 = (h * a5 + a4) * (1.0 / 6.0);
    const double a7 = (h * a6 + a5) * (1.0 / 7.0);
    const double a8 = (h * a7 + a6) * (1.0 / 8.0);
    const double a9 = (h * a8 + a7) * (1.0 / 9.0);
    const double a10 = (h * a9 + a8) * (1.0 / 10.0);
    const double a11 = (h * a10 + a9) * (1.0 / 11.0);
    const double a12 = (h * a11 + a10) * (1.0 / 12.0);
    const double a13 = (h * a12 + a11) * (1.0 / 13.0);
    const double sum = a1 + w * (a3 + w * (a5 + w * (a7 + w * (a9 + w * (a11 + w * a13)))));
    return 2.0 * t * sum;
}

// b at s for x <= 0, s > 0, h = x/s, t = s/2, in the form that keeps its
// digits: ln_e = -(h^2 + t^2)/2 and e = e^{ln_e}, so that b'(s) = e / sqrt(2 pi),
// and either the difference d = Y(h + t) - Y(h - t) with b = e d / sqrt(2 pi)
// (h + t <= 0, or t small), or the sum m = Y(-h - t) + Y(h - t) of the
// distance to the upper bound, e^{x/2} - b = e m / sqrt(2 pi).  Near 0 the
// Mills ratios Y(z) need e^{z^2/2}, which are ratios of e and e^{x/2}:
// e^{(h + t)^2/2} = e^{x/2}/e and e^{(h - t)^2/2} = e^{-x/2}/e.
struct Black {
    double ln_e;
    double e;
    double d;  // NaN when the sum is given
    double m;  // NaN when the difference is given
};

// x <= 0 with e^{x/2} and e^{-x/2}.
struct Moneyness {
    double x, b_max, inv_b_max;
};

Black black_parts(const Moneyness& k, double s) noexcept {
    const double h = k.x / s, t = 0.5 * s;
    const double ln_e = -0.5 * (h * h + t * t);
    const double e = std::exp(ln_e);
    const double inv_e = 1.0 / e;
    if (t < kSmallT) {
        // e^{h^2/2} = e^{-t^2/2} / e, the first by its series (t^2 < 0.0025).
        const double w = t * t;
        const double gauss_t = 1.0 - w * (0.5 - w * (0.125 - w * (1.0 / 48.0 - w * (1.0 / 384.0))));
        return {ln_e, e, mills_difference_series(h, t, gauss_t * inv_e), kNaN};
    }
    const double up = k.b_max * inv_e, down = k.inv_b_max * inv_e;
    if (h + t <= 0.0) return {ln_e, e, mills(h + t, up) - mills(h - t, down), kNaN};
    return {ln_e, e, kNaN, mills(-h - t, up) + mills(h - t, down)};
}

bool has_difference(const Black& p) noexcept { return !std::isnan(p.d); }

// b, from its parts.
double black_from(const Black& p, double b_max) noexcept {
    return has_difference(p) ? p.e * p.d / kSqrtTwoPi : b_max - p.e * p.m / kSqrtTwoPi;
}

Moneyness moneyness(double x) noexcept {
    const double b_max = std::exp(0.5 * x);
    return {x, b_max, 1.0 / b_max};
}

double black_value(double x, double s) noexcept {
    if (!(s > 0.0)) return 0.0;
    const Moneyness k = moneyness(x);
    return black_from(black_parts(k, s), k.b_max);
}

// b''/b' and b'''/b' at s.
struct Curvature {
    double second, third;
};
Curvature curvature(double x, double s) noexcept {
    const double h = x / s;
    const double c2 = h * h / s - 0.25 * s;
    return {c2, c2 * c2 - 3.0 * h * h / (s * s) - 0.25};
}

// N^{-1}(p) for 0 < p <= 1/2 by Abramowitz and Stegun 26.2.23 (absolute
// error below 4.5e-4): enough for an initial guess, which the Householder
// steps then correct.
double inverse_norm_cdf_lower(double p) noexcept {
    const double t = std::sqrt(-2.0 * std::log(p));
    return -(t - (2.515517 + t * (0.802853 + t * 0.010328)) /
                     (1.0 + t * (1.432788 + t * (0.189269 + t * 0.001308))));
}

// The rational cubic of Delbourgo and Gregory through (0, yl) and (1, yr) in
// tau = (beta - beta_l) / span, with slopes dl and dr in beta, and its
// control parameter r (3 is the cubic Hermite).  one_minus_tau is passed
// apart so that it keeps its digits near the right end.
double rational_cubic(double tau, double one_minus_tau, double yl, double yr, double dl, double dr, double span,
                      double r) noexcept {
    const double a = tau, b = one_minus_tau;
    const double num =
        yr * a * a * a + (r * yr - span * dr) * a * a * b + (r * yl + span * dl) * a * b * b + yl * b * b * b;
    return num / (1.0 + (r - 3.0) * a * b);
}

// r matching the second derivative c at the left or the right end, kept at
// or above the least value that keeps the interpolant monotone.
double control(double yl, double yr, double dl, double dr, double span, double c, bool left) noexcept {
    const double delta = yr - yl;
    const double numerator = 0.5 * c * span * span + (dr - dl) * span;
    const double r = left ? numerator / (delta - dl * span) : numerator / (dr * span - delta);
    const double monotone = (dl + dr) * span / delta;
    if (!std::isfinite(r)) return std::max(monotone, 3.0);
    return std::max(r, monotone);
}

enum class Branch { Lower, Middle, Upper };

// The lower map f(s) = K N(z)^3, z = -|x| / (sqrt 3 s), K = 2 pi |x| / (3 sqrt 3):
// b's behaviour as s -> 0; its value, its first and second derivatives in s.
struct Map {
    double f, fs, fss;
};
Map lower_map(double ax, double s) noexcept {
    const double k = kTwoPiOverThreeSqrt3 * ax;
    const double z = -ax / (kSqrt3 * s);
    const double gauss = std::exp(-0.5 * z * z);
    const double big_n = 0.5 * gauss * scaled_erfc(-z / kSqrt2, 1.0 / gauss);
    const double small_n = gauss / kSqrtTwoPi;
    const double q = -z / s;  // dz/ds
    const double fs = 3.0 * k * big_n * big_n * small_n * q;
    const double fss = 3.0 * k * big_n * small_n * q * (q * (2.0 * small_n - z * big_n) - 2.0 * big_n / s);
    return {k * big_n * big_n * big_n, fs, fss};
}

double lower_map_inverse(double ax, double f) noexcept {
    const double k = kTwoPiOverThreeSqrt3 * ax;
    const double z = inverse_norm_cdf_lower(std::cbrt(f / k));
    return -ax / (kSqrt3 * z);
}

// One Householder step of order three: nu = -g/g', h2 = g''/g', h3 = g'''/g'.
double householder(double nu, double h2, double h3) noexcept {
    return nu * (1.0 + 0.5 * h2 * nu) / (1.0 + nu * (h2 + h3 * nu / 6.0));
}

// s for an out-of-the-money normalised call price beta at x <= 0, with
// c_beta = e^{x/2} - beta given apart; 0 < beta, 0 < c_beta.
double solve(double beta, double c_beta, double x, int* iterations) noexcept {
    const double ax = -x;
    const Moneyness k = moneyness(x);
    const double b_max = k.b_max;
    const double s_c = std::sqrt(2.0 * ax);
    // At s_c, h + t = 0 and h^2 + t^2 = |x|: b = e^{x/2} (Y(0) - Y(-s_c)) / sqrt(2 pi)
    // and b' = e^{x/2} / sqrt(2 pi); e^{s_c^2/2} = e^{-x}.
    const double b_c = b_max * (0.5 - mills(-s_c, k.inv_b_max * k.inv_b_max) / kSqrtTwoPi);
    const double v_c = b_max / kSqrtTwoPi;
    double s;
    Branch branch;
    if (beta <= b_c) {
        // Where the lower map holds (s_l is about 1.25 |x| for small |x|).
        double s_l = s_c - b_c / v_c;
        if (!(s_l > 0.0)) s_l = 0.5 * ax;
        const Black at_l = black_parts(k, s_l);
        const double b_l = black_from(at_l, b_max);
        const double v_l = at_l.e / kSqrtTwoPi;
        if (beta < b_l) {
            branch = Branch::Lower;
            const Map m = lower_map(ax, s_l);
            const double dr = m.fs / v_l;
            const double c = (m.fss - m.fs * curvature(x, s_l).second) / (v_l * v_l);
            const double r = control(0.0, m.f, 1.0, dr, b_l, c, false);
            const double tau = beta / b_l;
            const double f = rational_cubic(tau, 1.0 - tau, 0.0, m.f, 1.0, dr, b_l, r);
            s = lower_map_inverse(ax, f);
        } else {
            branch = Branch::Middle;
            const double span = b_c - b_l;
            const double dl = 1.0 / v_l, dr = 1.0 / v_c;
            const double r = control(s_l, s_c, dl, dr, span, 0.0, false);
            const double tau = (beta - b_l) / span;
            s = rational_cubic(tau, 1.0 - tau, s_l, s_c, dl, dr, span, r);
        }
    } else {
        const double s_u = s_c + (b_max - b_c) / v_c;
        const Black at_u = black_parts(k, s_u);
        const double b_u = black_from(at_u, b_max);
        const double v_u = at_u.e / kSqrtTwoPi;
        if (beta <= b_u) {
            branch = Branch::Middle;
            const double span = b_u - b_c;
            const double dl = 1.0 / v_c, dr = 1.0 / v_u;
            const double r = control(s_c, s_u, dl, dr, span, 0.0, true);
            const double tau = (beta - b_c) / span;
            s = rational_cubic(tau, 1.0 - tau, s_c, s_u, dl, dr, span, r);
        } else {
            branch = Branch::Upper;
            // f(s) = N(-s/2), b's behaviour as s -> infinity, where
            // e^{x/2} - b tends to 2 N(-s/2).
            const double half = 0.5 * s_u;
            const double gauss = std::exp(-0.5 * half * half);
            const double pdf = gauss / kSqrtTwoPi;
            const double f_u = 0.5 * gauss * scaled_erfc(half / kSqrt2, 1.0 / gauss);
            const double fs = -0.5 * pdf, fss = 0.125 * s_u * pdf;
            const double dl = fs / v_u, dr = -0.5;
            const double c = (fss - fs * curvature(x, s_u).second) / (v_u * v_u);
            const double span = b_max - b_u;
            const double r = control(f_u, 0.0, dl, dr, span, c, true);
            const double one_minus_tau = c_beta / span;
            const double f = rational_cubic(1.0 - one_minus_tau, one_minus_tau, f_u, 0.0, dl, dr, span, r);
            s = -2.0 * inverse_norm_cdf_lower(f);
        }
    }

    const double ln_beta = branch == Branch::Lower ? std::log(beta) : 0.0;
    const double ln_c_beta = branch == Branch::Upper ? std::log(c_beta) : 0.0;
    int done = 0;
    for (; done < 2; ++done) {
        const Black at = black_parts(k, s);
        const Curvature curve = curvature(x, s);
        double step;
        if (branch == Branch::Lower) {
            // g = 1/ln b - 1/ln beta, with L = ln b and p = (ln b)' = b'/b.
            double l, p;
            if (has_difference(at)) {
                l = at.ln_e + std::log(at.d) - kLnSqrtTwoPi;
                p = 1.0 / at.d;
            } else {
                const double b = black_from(at, b_max);
                l = std::log(b);
                p = at.e / (kSqrtTwoPi * b);
            }
            const double l2 = p * curve.second - p * p;
            const double l3 = p * curve.third - 3.0 * p * p * curve.second + 2.0 * p * p * p;
            const double nu = l * (ln_beta - l) / (ln_beta * p);
            const double h2 = l2 / p - 2.0 * p / l;
            const double h3 = l3 / p - 6.0 * l2 / l + 6.0 * p * p / (l * l);
            step = householder(nu, h2, h3);
        } else if (branch == Branch::Middle) {
            // g = b - beta.
            const double nu = (beta - black_from(at, b_max)) * kSqrtTwoPi / at.e;
            step = householder(nu, curve.second, curve.third);
        } else {
            // g = ln c_beta - ln(e^{x/2} - b), with m = b'/(e^{x/2} - b).
            double ln_c, m;
            if (!has_difference(at)) {
                ln_c = at.ln_e + std::log(at.m) - kLnSqrtTwoPi;
                m = 1.0 / at.m;
            } else {
                const double c = b_max - at.e * at.d / kSqrtTwoPi;
                ln_c = std::log(c);
                m = at.e / (kSqrtTwoPi * c);
            }
            const double nu = (ln_c - ln_c_beta) / m;
            step = householder(nu, curve.second + m, curve.third + 3.0 * m * curve.second + 2.0 * m * m);
        }
        const double next = s + step;
        if (!(next > 0.0)) {
            s *= 0.5;
            continue;
        }
        const bool small = std::fabs(step) <= 2.0 * std::numeric_limits<double>::epsilon() * s;
        s = next;
        if (small) {
            ++done;
            break;
        }
    }
    if (iterations != nullptr) *iterations = done;
    return s;
}

BlackInversion answer(double s) noexcept { return {s, BlackInversionStatus::Ok}; }
BlackInversion refused(BlackInversionStatus status) noexcept { return {kNaN, status}; }

}  // namespace

double normalised_black_call(double x, double s) noexcept {
    if (std::isnan(x) || std::isnan(s)) return kNaN;
    const double intrinsic = x > 0.0 ? std::exp(0.5 * x) - std::exp(-0.5 * x) : 0.0;
    if (!(s > 0.0)) return intrinsic;
    if (s == INFINITY) return std::exp(0.5 * x);
    return intrinsic + black_value(-std::fabs(x), s);
}

BlackInversion normalised_implied_volatility(double beta, double x, int* iterations) noexcept {
    if (iterations != nullptr) *iterations = 0;
    if (std::isnan(beta) || std::isnan(x)) return refused(BlackInversionStatus::NotANumber);
    // The out-of-the-money call at -|x|, by parity.
    const double b_max = std::exp(0.5 * x);
    const double otm = x > 0.0 ? beta - (b_max - std::exp(-0.5 * x)) : beta;
    if (otm < 0.0) return refused(BlackInversionStatus::BelowIntrinsic);
    const double c_beta = b_max - beta;
    if (!(c_beta > 0.0)) return refused(BlackInversionStatus::AboveMaximum);
    if (otm == 0.0) return answer(0.0);
    // Its distance from its limit e^{-|x|/2} is c_beta as well.
    return answer(solve(otm, c_beta, -std::fabs(x), iterations));
}

BlackInversion implied_black_volatility(double price, double A, double B, double T, bool call,
                                        int* iterations) noexcept {
    if (iterations != nullptr) *iterations = 0;
    // (Forwards, strikes and times that are not finite and positive are
    // no numbers to invert with either.)
    if (std::isnan(price) || !(A > 0.0 && A < INFINITY) || !(B > 0.0 && B < INFINITY) || !(T > 0.0 && T < INFINITY)) {
        return refused(BlackInversionStatus::NotANumber);
    }
    const double intrinsic = call ? std::max(A - B, 0.0) : std::max(B - A, 0.0);
    const double otm = price - intrinsic;
    if (otm < 0.0) return refused(BlackInversionStatus::BelowIntrinsic);
    // The limit for infinite volatility: A for a call, B for a put.
    const double distance = (call ? A : B) - price;
    if (!(distance > 0.0)) return refused(BlackInversionStatus::AboveMaximum);
    if (otm == 0.0) return answer(0.0);
    const double q = A / B;
    const double x = q > 0.5 && q < 2.0 ? std::log1p((A - B) / B) : std::log(q);
    const double root = std::sqrt(A * B);
    // The out-of-the-money call at -|x| has price otm and distance
    // min(A, B) - otm from its limit, which equals `distance`.
    return answer(solve(otm / root, distance / root, -std::fabs(x), iterations) / std::sqrt(T));
}

}  // namespace zub
