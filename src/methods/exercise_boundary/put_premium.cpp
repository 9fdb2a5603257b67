#include "methods/exercise_boundary/put_premium.hpp"

#include <cmath>

#include "methods/exercise_boundary/dual.hpp"

namespace zub {

template <class Real>
PutPremium<Real> put_premium(const CollocationScheme& s, const PutMarket<Real>& m, const PutBoundary<Real>& boundary,
                             double S) noexcept {
    using std::exp;
    using std::sqrt;
    const std::size_t n = s.n;
    const double K = m.strike, T = m.expiry, log_s = std::log(S);
    const Real& sigma = m.vol;
    const Real& r = m.rate;
    const Real& q = m.carry;
    const Real drift = r - q + 0.5 * sigma * sigma;
    const Real log_sx = log_s - boundary.log_start;  // ln(S / X)

    Real value = 0.0;
    double delta = 0.0, gamma = 0.0;
    const double* interp = s.price_interp.data();
    for (std::size_t k = 0; k < s.p; ++k, interp += n) {
        Real hu = 0.0;
        for (std::size_t j = 0; j < n; ++j) hu += interp[j] * boundary.h[j];
        const Real log_z = log_sx + sqrt(positive_part(hu));  // ln(S / B(u))
        const double t = T * s.price_sin2[k], w = T * s.price_w_flat[k];
        const Real vt = sigma * std::sqrt(t);
        const Real dp = (log_z + drift * t) / vt;
        const Real dm = dp - vt;
        const auto [cdf_mp, pdf_p] = normal_cdf_pdf(-dp);  // N(-d+), n(d+)
        const auto [cdf_mm, pdf_m] = normal_cdf_pdf(-dm);
        const Real a = r * K * exp(-r * t);  // r K e^{-r t}
        const Real c = q * exp(-q * t);      // q e^{-q t}
        value += w * (a * cdf_mm - S * c * cdf_mp);

        // d/dS of d+- is g = 1 / (S sigma sqrt t); d/dS of n(d) is -d n(d) g.
        const double g = 1.0 / (S * value_of(vt));
        const double av = value_of(a), cv = value_of(c), nm = value_of(pdf_m), np = value_of(pdf_p);
        delta += w * (-av * nm * g - cv * value_of(cdf_mp) + S * cv * np * g);
        gamma += w * (av * nm * g * (value_of(dm) * g + 1.0 / S) + cv * np * g * (1.0 - S * value_of(dp) * g));
    }
    return {value, delta, gamma};
}

template PutPremium<double> put_premium(const CollocationScheme&, const PutMarket<double>&, const PutBoundary<double>&,
                                        double) noexcept;
template PutPremium<Dual<2>> put_premium(const CollocationScheme&, const PutMarket<Dual<2>>&,
                                         const PutBoundary<Dual<2>>&, double) noexcept;

}  // namespace zub
