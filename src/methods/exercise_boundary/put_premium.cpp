#include "methods/exercise_boundary/put_premium.hpp"

#include <array>
#include <cmath>

#include "math/lane_math.hpp"
#include "methods/exercise_boundary/dual.hpp"

namespace zub {

template <class Real>
PutPremium<Real> put_premium(const CollocationScheme& s, const PutMarket<Real>& m, const PutBoundary<Real>& boundary,
                             double S) noexcept {
    using std::sqrt;
    const std::size_t n = s.n;
    const double K = m.strike, T = m.expiry, log_s = std::log(S);
    const Real& sigma = m.vol;
    const Real& r = m.rate;
    const Real& q = m.carry;
    const Real drift = r - q + 0.5 * sigma * sigma;
    const Real log_sx = log_s - boundary.log_start;  // ln(S / X)

    // In x = ln S, with A(t) the integrand at t = T - u and M(t) = S e^{-q t} N(-d+):
    // A_x and A_xx would put a layer of width (ln(S / B(T)))^2 / sigma^2 at t = 0
    // into the second derivative when S is near the boundary.  Both N(-d-)
    // and e^{y} N(-d+), y = ln(S / B(u)), solve f_t = mu f_y + sigma^2 f_yy / 2,
    // mu = r - q - sigma^2 / 2, and y moves with t at the rate b'(u), b = ln B:
    //   e^{rt} A_xx = (2 / sigma^2) (d/dt (e^{rt} A) - q b' e^{rt} M - (b' + mu) e^{rt} A_x).
    // Weighting by w = u / T, the part w A_xx is integrated by parts (w = 0 at
    // t = T, A = 0 at t = 0+ above the boundary), leaving integrands without the layer:
    //   int A_xx = int [(t / T) A_xx + (2 / sigma^2) ((1 / T + r w) A - w b' q M - w (b' + mu) A_x)] dt.
    Real value = 0.0;
    double first = 0.0, second = 0.0;  // d/dx and d2/dx2 of the premium
    const double sv = value_of(sigma), rv = value_of(r), qv = value_of(q);
    const double mu = rv - qv - 0.5 * sv * sv, inv_T = 1.0 / T, two_var = 2.0 / (sv * sv);
    const std::size_t p = s.p;
    // Per point: H(u) and dH/dxi, sqrt H, d+ and d-; then the arguments of
    // N (-d+, -d-) and of exp (-r t, -q t), p of each, taken in two block calls.
    std::array<Real, kMaxQuadrature> root_hus, dps, dms;
    std::array<double, kMaxQuadrature> hu_xis;
    std::array<double, 2 * kMaxQuadrature> cdf_arg{}, exp_arg{}, cdf, pdf, exps;
    const double* interp = s.price_interp.data();
    const double* slope = s.price_slope.data();
    for (std::size_t k = 0; k < p; ++k, interp += n, slope += n) {
        Real hu = 0.0;
        double hu_xi = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            hu += interp[j] * boundary.h[j];
            hu_xi += slope[j] * value_of(boundary.h[j]);
        }
        hu_xis[k] = hu_xi;
        root_hus[k] = sqrt(positive_part(hu));
        const Real log_z = log_sx + root_hus[k];  // ln(S / B(u))
        const double t = T * s.price_sin2[k];
        const Real vt = sigma * std::sqrt(t);
        dps[k] = (log_z + drift * t) / vt;
        dms[k] = dps[k] - vt;
        cdf_arg[k] = -value_of(dps[k]);
        cdf_arg[p + k] = -value_of(dms[k]);
        exp_arg[k] = -rv * t;
        exp_arg[p + k] = -qv * t;
    }
    normal_cdf_pdf_lanes(cdf_arg.data(), cdf.data(), pdf.data(), 2 * p);
    exp_lanes(exp_arg.data(), exps.data(), 2 * p);
    for (std::size_t k = 0; k < p; ++k) {
        const Real& dp = dps[k];
        const Real& dm = dms[k];
        const double t = T * s.price_sin2[k], w = T * s.price_w_flat[k], weight_u = s.price_cos2[k];
        const auto [cdf_mp, pdf_p] = with_cdf_pdf(-dp, cdf[k], pdf[k]);          // N(-d+), n(d+)
        const auto [cdf_mm, pdf_m] = with_cdf_pdf(-dm, cdf[p + k], pdf[p + k]);  // N(-d-), n(d-)
        const Real a = r * K * with_exp(-r * t, exps[k]);  // r K e^{-r t}
        const Real c = q * with_exp(-q * t, exps[p + k]);  // q e^{-q t}
        const Real integrand = a * cdf_mm - S * c * cdf_mp;
        value += w * integrand;

        // d d+-/dx = 1 / (sigma sqrt t) = g; d n(d)/dx = -d n(d) g.
        const double g = 1.0 / (sv * std::sqrt(t));
        const double av = value_of(a), cv = value_of(c), nm = value_of(pdf_m), np = value_of(pdf_p);
        const double qm = S * cv * value_of(cdf_mp);  // q M
        const double a_x = -av * nm * g - qm + S * cv * np * g;
        const double a_xx = av * nm * g * g * value_of(dm) - qm + S * cv * np * g * (2.0 - value_of(dp) * g);
        // w b'(u) = -xi H_xi / (4 T sqrt H), xi = sqrt(u / T).
        const double root = value_of(root_hus[k]);
        const double wb = root > 0.0 ? -std::sqrt(weight_u) * hu_xis[k] / (4.0 * T * root) : 0.0;
        first += w * a_x;
        second += w * ((1.0 - weight_u) * a_xx +
                       two_var * ((inv_T + rv * weight_u) * value_of(integrand) - wb * qm - (wb + weight_u * mu) * a_x));
    }
    const double delta = first / S, gamma = (second - first) / (S * S);
    return {value, delta, gamma};
}

template PutPremium<double> put_premium(const CollocationScheme&, const PutMarket<double>&, const PutBoundary<double>&,
                                        double) noexcept;
template PutPremium<Dual<2>> put_premium(const CollocationScheme&, const PutMarket<Dual<2>>&,
                                         const PutBoundary<Dual<2>>&, double) noexcept;

}  // namespace zub
