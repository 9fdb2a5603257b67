#include "methods/exercise_boundary/put_boundary.hpp"

#include <cmath>

#include "methods/exercise_boundary/dual.hpp"

namespace zub {

namespace {

// One pass over the nodes: H_new from H, Newton's correction when `newton`.
template <class Real>
void iterate(const CollocationScheme& s, const PutMarket<Real>& m, const Real& log_x,
             const std::array<Real, kMaxCollocation>& h, std::array<Real, kMaxCollocation>& h_new, bool newton) {
    using std::exp;
    using std::log;
    using std::sqrt;
    const std::size_t n = s.n, l = s.l;
    const double K = m.strike, root_T = std::sqrt(m.expiry), log_K = std::log(K);
    const Real& sigma = m.vol;
    const Real& r = m.rate;
    const Real& q = m.carry;
    const Real b = r - q, half_var = 0.5 * sigma * sigma, inv_sigma = 1.0 / sigma;

    // sqrt(H) = ln(X / B) at the nodes.
    std::array<Real, kMaxCollocation> root_h{};
    for (std::size_t j = 0; j < n; ++j) root_h[j] = sqrt(positive_part(h[j]));

    for (std::size_t i = 0; i < n; ++i) {
        const double root_tau = root_T * s.xi[i], tau = root_tau * root_tau;
        const Real log_b = log_x - root_h[i];
        const Real B = exp(log_b);
        const Real v = sigma * root_tau;
        const Real dp = (log_b - log_K + (b + half_var) * tau) / v;
        const Real dm = dp - v;
        const auto [cdf_p, pdf_p] = normal_cdf_pdf(dp);

        // K e^{-(r-q) tau} n(d-(tau, B/K)) = B n(d+(tau, B/K)), and likewise
        // e^{r u} n(d-(t, z)) = e^{(r-q) tau} e^{q u} z n(d+(t, z)): the
        // numerator K e^{-(r-q) tau} N as B n(d+)/v + r K int e^{q u} z n(d+) / (sigma sqrt t) du.
        Real num_int = 0.0, den_root = 0.0, den_flat = 0.0;  // the three integrals
        Real num_int_d = 0.0, den_int_d = 0.0;               // their B(tau)-derivatives' integrals
        const double* interp = s.interp.data() + i * l * n;
        for (std::size_t k = 0; k < l; ++k, interp += n) {
            Real hu = 0.0;
            for (std::size_t j = 0; j < n; ++j) hu += interp[j] * h[j];
            const Real log_z = sqrt(positive_part(hu)) - root_h[i];  // ln(B(tau) / B(u))
            const double u = tau * s.cos2[k], t = tau * s.sin2[k];
            const Real vt = sigma * (root_tau * s.sin1[k]);
            const Real dpt = (log_z + (b + half_var) * t) / vt;
            const auto [cdf_t, pdf_t] = normal_cdf_pdf(dpt);
            const Real eq = exp(q * u);
            const Real eqz = exp(q * u + log_z);
            num_int += s.w_root[k] * (eqz * pdf_t);
            den_root += s.w_root[k] * (eq * pdf_t);
            den_flat += s.w_flat[k] * (eq * cdf_t);
            if (newton) {
                // du / (sigma^2 (tau - u)) = w_root / (sigma^2 sin theta) per point.
                const Real dmt = dpt - vt;
                num_int_d += (s.w_root[k] / s.sin1[k]) * (eqz * pdf_t * dmt);
                den_int_d += (s.w_root[k] / s.sin1[k]) * (eq * pdf_t * dmt);
            }
        }
        const Real num = B * pdf_p / v + (r * K * root_tau) * inv_sigma * num_int;
        const Real den = pdf_p / v + cdf_p + q * ((root_tau * inv_sigma) * den_root + tau * den_flat);
        const Real f = num / den;
        Real b_new = f;
        if (newton) {
            const Real inv_var = inv_sigma * inv_sigma;
            const Real num_d = -pdf_p * dm / (v * v) - (r * K) * inv_var / B * num_int_d;
            const Real den_d = -pdf_p * dm / (B * v * v) - q * inv_var / B * den_int_d;
            const Real slope = (num_d - f * den_d) / den;
            const Real candidate = B - (B - f) / (1.0 - slope);
            if (value_of(candidate) > 0.0 && std::isfinite(value_of(candidate))) b_new = candidate;
        }
        const Real root = positive_part(log_x - log(b_new));  // B <= X
        h_new[i] = root * root;
    }
}

// The boundary at tau of the quadratic approximation: the root S of
//   g(S) = S (1 - e^{-q tau} N(-d+(tau, S/K))) + lambda (K - S - p(S)),
// p the European put, lambda = (1 - beta - sqrt((beta - 1)^2 + 4 alpha / h)) / 2,
// alpha = 2 r / sigma^2, beta = 2 (r - q) / sigma^2, h = 1 - e^{-r tau};
// by a fixed number of Newton steps in ln S from ln X (g increases in S),
// kept at most ln X.  Returns ln(S).
template <class Real>
Real quadratic_guess(const PutMarket<Real>& m, const Real& log_x, double tau) {
    using std::exp;
    using std::log;
    using std::sqrt;
    const double K = m.strike, log_K = std::log(K), root_tau = std::sqrt(tau);
    const Real& sigma = m.vol;
    const Real& r = m.rate;
    const Real& q = m.carry;
    const Real var = sigma * sigma;
    // alpha / h, 2 / (sigma^2 tau) at r = 0.
    const Real alpha_h = value_of(r) == 0.0 ? 2.0 / (var * tau) : 2.0 * r / (var * (1.0 - exp(-r * tau)));
    const Real beta1 = 2.0 * (r - q) / var - 1.0;
    const Real lambda = -0.5 * (beta1 + sqrt(beta1 * beta1 + 4.0 * alpha_h));
    const Real dr = exp(-r * tau), dq = exp(-q * tau), v = sigma * root_tau;
    Real x = log_x;
    for (int it = 0; it < 8; ++it) {
        const Real S = exp(x);
        const Real dp = (x - log_K + (r - q + 0.5 * var) * tau) / v;
        const auto [cdf_mp, pdf_p] = normal_cdf_pdf(-dp);
        const Real cdf_mm = normal_cdf_pdf(v - dp).cdf;
        const Real put = K * dr * cdf_mm - S * dq * cdf_mp;
        const Real keep = 1.0 - dq * cdf_mp;
        const Real g = S * keep + lambda * (K - S - put);
        const Real slope = S * ((1.0 - lambda) * keep + dq * pdf_p / v);  // dg / d ln S
        x = x - g / slope;
        if (value_of(x) > value_of(log_x)) x = log_x;
    }
    return x;
}

}  // namespace

template <class Real>
PutBoundary<Real> solve_put_boundary(const CollocationScheme& s, const PutMarket<Real>& m) noexcept {
    using std::log;
    PutBoundary<Real> out;
    const double K = m.strike;
    // X = K min(1, r / q) for q > 0, else K.
    const bool below_strike = value_of(m.carry) > 0.0 && value_of(m.rate) < value_of(m.carry);
    out.log_start = below_strike ? log(K * m.rate / m.carry) : Real(std::log(K));
    const double root_T = std::sqrt(m.expiry);
    for (std::size_t i = 0; i < s.n; ++i) {
        const double root_tau = root_T * s.xi[i];
        const Real root = out.log_start - quadratic_guess(m, out.log_start, root_tau * root_tau);
        out.h[i] = root * root;
    }
    std::array<Real, kMaxCollocation> next{};
    for (std::size_t it = 0; it < s.m; ++it) {
        iterate(s, m, out.log_start, out.h, next, it == 0);
        out.h = next;
    }
    return out;
}

template PutBoundary<double> solve_put_boundary(const CollocationScheme&, const PutMarket<double>&) noexcept;
template PutBoundary<Dual<2>> solve_put_boundary(const CollocationScheme&, const PutMarket<Dual<2>>&) noexcept;

}  // namespace zub
