#include "methods/exercise_boundary/put_boundary.hpp"

#include <cmath>
#include <type_traits>
#include <utility>

#include "core/vector_clones.hpp"
#include "math/lane_math.hpp"
#include "methods/exercise_boundary/dual.hpp"

namespace zub {

namespace {

using Matrix = std::array<double, kMaxCollocation * kMaxCollocation>;
// exp(q u) at point k of node i, [i l + k]: fixed for the option, taken once
// for every evaluation of the equations.
using ExpTable = std::array<double, kMaxCollocation * kMaxQuadrature>;

// The smooth-pasting equations ("FP-B") at the nodes, in s_i = ln(X / B(tau_i)):
//   R_i = ln(K e^{-(r - q) tau} N_B / D_B) - ln B(tau_i) = 0,
//   N_B = n(d-(tau, B/K)) / (sigma sqrt tau) + r int_0^tau e^{r u} n(d-(tau - u, B(tau)/B(u))) / (sigma sqrt(tau - u)) du,
//   D_B = n(d+(tau, B/K)) / (sigma sqrt tau) + N(d+(tau, B/K))
//         + q int_0^tau e^{q u} [N(d+(tau - u, .)) + n(d+(tau - u, .)) / (sigma sqrt(tau - u))] du.
// Written with K e^{-(r-q) tau} n(d-(tau, B/K)) = B n(d+(tau, B/K)) and
// e^{r u} n(d-(t, z)) = e^{(r-q) tau} e^{q u} z n(d+(t, z)).  Writes R and,
// when `jacobian` is given, dR_i / ds_j at [i n + j] (of R's value for a Dual).
template <class Real>
[[gnu::always_inline]] inline void smooth_pasting(const CollocationScheme& sc, const PutMarket<Real>& m, const Real& log_x,
                    const std::array<double, kMaxCollocation>& s, const ExpTable& eq_table,
                    std::array<Real, kMaxCollocation>& residual, double* jacobian) noexcept {
    using std::log;
    const std::size_t n = sc.n, l = sc.l;
    const double K = m.strike, root_T = std::sqrt(m.expiry), log_K = std::log(K);
    const Real& sigma = m.vol;
    const Real& r = m.rate;
    const Real& q = m.carry;
    const Real drift = r - q + 0.5 * sigma * sigma, inv_sigma = 1.0 / sigma;

    std::array<double, kMaxCollocation> h{};
    for (std::size_t j = 0; j < n; ++j) h[j] = s[j] * s[j];
    // Per point: d/dy, y = ln(B(tau) / B(u)), of the three integrands.
    // Working arrays, written before they are read, each call over its first
    // l (or n, or n l) entries alone: left uninitialised, not cleared on every call.
    std::array<double, kMaxQuadrature> num_coef, root_coef, flat_coef, inv_root_hu, inv_vt, hu;
    // Per point of every node, [i l + k]: sqrt H(u_k), d+(tau_i - u_k, B(tau_i) / B(u_k))
    // with N and n there, y with its exponential.  The functions are taken
    // for all nodes in one block call each, whose ranges fill whole lanes.
    std::array<double, kMaxCollocation * kMaxQuadrature> all_root_hu, all_arg, all_cdf, all_pdf, all_y, all_exps;

    // Per node: ln B(tau), d+(tau, B / K), then N, n and B.
    std::array<Real, kMaxCollocation> log_b, dp;
    std::array<double, kMaxCollocation> node_arg{}, node_cdf, node_pdf, node_log_b, node_b;
    for (std::size_t i = 0; i < n; ++i) {
        const double root_tau = root_T * sc.xi[i];
        log_b[i] = log_x - s[i];
        dp[i] = (log_b[i] - log_K + drift * (root_tau * root_tau)) / (sigma * root_tau);
        node_arg[i] = value_of(dp[i]);
        node_log_b[i] = value_of(log_b[i]);
    }
    normal_cdf_pdf_lanes(node_arg.data(), node_cdf.data(), node_pdf.data(), n);
    exp_lanes(node_log_b.data(), node_b.data(), n);

    // d+ at point k of the node at sqrt(tau), in Real.
    const auto d_plus = [&](std::size_t k, double root_tau, double y) -> Real {
        // 1 / (sigma sqrt(tau - u)) by per-node and per-point reciprocals.
        return (y + drift * ((root_tau * root_tau) * sc.sin2[k])) * (inv_sigma * ((1.0 / root_tau) * sc.inv_sin1[k]));
    };
    for (std::size_t i = 0; i < n; ++i) {
        const double root_tau = root_T * sc.xi[i];
        // H(u_k), summed over j in order for all points at once.
        for (std::size_t k = 0; k < l; ++k) hu[k] = 0.0;
        const double* column = sc.interp_t.data() + i * n * l;
        for (std::size_t j = 0; j < n; ++j, column += l) {
            const double hj = h[j];
            for (std::size_t k = 0; k < l; ++k) hu[k] += column[k] * hj;
        }
        for (std::size_t k = 0; k < l; ++k) {
            const double root = std::sqrt(positive_part(hu[k])), y = root - s[i];
            all_root_hu[i * l + k] = root;
            all_y[i * l + k] = y;
            all_arg[i * l + k] = value_of(d_plus(k, root_tau, y));
        }
    }
    normal_cdf_pdf_lanes(all_arg.data(), all_cdf.data(), all_pdf.data(), n * l);
    exp_lanes(all_y.data(), all_exps.data(), n * l);

    for (std::size_t i = 0; i < n; ++i) {
        const double root_tau = root_T * sc.xi[i], tau = root_tau * root_tau;
        const Real B = with_exp(log_b[i], node_b[i]);
        const Real v = sigma * root_tau;
        const double inv_root_tau = 1.0 / root_tau, inv_v = value_of(inv_sigma) * inv_root_tau;
        const auto [cdf_p, pdf_p] = with_cdf_pdf(dp[i], node_cdf[i], node_pdf[i]);
        const double* root_hu = all_root_hu.data() + i * l;
        const double* arg = all_arg.data() + i * l;
        const double* cdf = all_cdf.data() + i * l;
        const double* pdf = all_pdf.data() + i * l;
        const double* exps = all_exps.data() + i * l;
        if (jacobian != nullptr) {
            for (std::size_t k = 0; k < l; ++k) {
                inv_vt[k] = inv_v * sc.inv_sin1[k];
                inv_root_hu[k] = root_hu[k] > 0.0 ? 1.0 / root_hu[k] : 0.0;
            }
        }
        const double* eq_node = eq_table.data() + i * l;
        Real num_int = 0.0, den_root = 0.0, den_flat = 0.0;
        for (std::size_t k = 0; k < l; ++k) {
            const auto [cdf_t, pdf_t] = with_cdf_pdf(d_plus(k, root_tau, all_y[i * l + k]), cdf[k], pdf[k]);
            // exp(q u), in q's derivatives too.
            Real eq;
            if constexpr (std::is_same_v<Real, double>) {
                eq = eq_node[k];
            } else {
                eq = chain(eq_node[k], tau * sc.cos2[k] * eq_node[k], q);
            }
            const Real eqz = eq * exps[k];
            num_int += sc.w_root[k] * (eqz * pdf_t);
            den_root += sc.w_root[k] * (eq * pdf_t);
            den_flat += sc.w_flat[k] * (eq * cdf_t);
            if (jacobian != nullptr) {
                const double dv = arg[k] * inv_vt[k], eqv = eq_node[k];
                num_coef[k] = sc.w_root[k] * (eqv * exps[k]) * pdf[k] * (1.0 - dv);
                root_coef[k] = -sc.w_root[k] * eqv * pdf[k] * dv;
                flat_coef[k] = sc.w_flat[k] * eqv * pdf[k] * inv_vt[k];
            }
        }
        const Real c_num = r * K * root_tau * inv_sigma, c_root = q * root_tau * inv_sigma, c_flat = q * tau;
        const Real num = B * pdf_p / v + c_num * num_int;
        const Real den = pdf_p / v + cdf_p + c_root * den_root + c_flat * den_flat;
        double* row = jacobian != nullptr ? jacobian + i * n : nullptr;
        if (!(value_of(num) > 0.0 && value_of(den) > 0.0 && std::isfinite(value_of(num) / value_of(den)))) {
            // Both sides vanish below the range of doubles, far from the
            // spot where the premium is nil: node i is left where it is.
            residual[i] = 0.0;
            if (row != nullptr) {
                for (std::size_t j = 0; j < n; ++j) row[j] = j == i ? 1.0 : 0.0;
            }
            continue;
        }
        residual[i] = log(num / den) - log_b[i];
        if (row == nullptr) continue;
        // y_k moves by -1 with s_i and by interp_j s_j / sqrt(H(u_k)) with s_j.
        const double num_v = value_of(num), den_v = value_of(den);
        const double a = value_of(c_num) / num_v, b = 1.0 / den_v, c_root_v = value_of(c_root),
                     c_flat_v = value_of(c_flat);
        for (std::size_t j = 0; j < n; ++j) row[j] = 0.0;
        double diag = 0.0;
        const double* interp = sc.interp.data() + i * l * n;
        for (std::size_t k = 0; k < l; ++k, interp += n) {
            const double c = a * num_coef[k] - b * (c_root_v * root_coef[k] + c_flat_v * flat_coef[k]);
            diag += c;
            if (!(root_hu[k] > 0.0)) continue;
            const double cr = c * inv_root_hu[k];
            for (std::size_t j = 0; j < n; ++j) row[j] += cr * interp[j];
        }
        for (std::size_t j = 0; j < n; ++j) row[j] *= s[j];
        // d/d ln B(tau) of B n(d+)/v and of n(d+)/v + N(d+); d ln B(tau) / ds_i = -1.
        const double v_v = value_of(v), dp_v = value_of(dp[i]);
        const double g = node_pdf[i] / v_v, num0 = node_b[i] * g * (1.0 - dp_v / v_v), den0 = g * (1.0 - dp_v / v_v);
        row[i] += 1.0 - diag - num0 / num_v + den0 / den_v;
    }
}

// LU factors of the n x n matrix a in place, with row swaps in pivot; then
// solutions of a x = y overwrite y.
[[gnu::always_inline]] inline void lu_factor(double* a, std::size_t n, std::array<std::size_t, kMaxCollocation>& pivot) noexcept {
    for (std::size_t c = 0; c < n; ++c) {
        std::size_t best = c;
        for (std::size_t i = c + 1; i < n; ++i) {
            if (std::fabs(a[i * n + c]) > std::fabs(a[best * n + c])) best = i;
        }
        pivot[c] = best;
        if (best != c) {
            for (std::size_t j = 0; j < n; ++j) std::swap(a[c * n + j], a[best * n + j]);
        }
        const double inv = 1.0 / a[c * n + c];
        for (std::size_t i = c + 1; i < n; ++i) {
            const double f = a[i * n + c] * inv;
            a[i * n + c] = f;
            for (std::size_t j = c + 1; j < n; ++j) a[i * n + j] -= f * a[c * n + j];
        }
    }
}

[[gnu::always_inline]] inline void lu_solve(const double* a, std::size_t n, const std::array<std::size_t, kMaxCollocation>& pivot,
              double* y) noexcept {
    for (std::size_t c = 0; c < n; ++c) {
        if (pivot[c] != c) std::swap(y[c], y[pivot[c]]);
        for (std::size_t i = c + 1; i < n; ++i) y[i] -= a[i * n + c] * y[c];
    }
    for (std::size_t c = n; c-- > 0;) {
        for (std::size_t j = c + 1; j < n; ++j) y[c] -= a[c * n + j] * y[j];
        y[c] /= a[c * n + c];
    }
}

// The boundary at each tau[i], i < n, of the quadratic approximation: the root S of
//   g(S) = S (1 - e^{-q tau} N(-d+(tau, S/K))) + lambda (K - S - p(S)),
// p the European put, lambda = (1 - beta - sqrt((beta - 1)^2 + 4 alpha / h)) / 2,
// alpha = 2 r / sigma^2, beta = 2 (r - q) / sigma^2, h = 1 - e^{-r tau};
// by a fixed number of Newton steps in ln S from ln X (g increases in S),
// kept at most ln X, all nodes abreast.  Writes ln(S) to out[i].
[[gnu::always_inline]] inline void quadratic_guesses(const PutMarket<double>& m, double log_x, const double* tau, std::size_t n,
                       double* out) noexcept {
    const double K = m.strike, log_K = std::log(K), sigma = m.vol, r = m.rate, q = m.carry;
    const double var = sigma * sigma;
    std::array<double, 2 * kMaxCollocation> discount{}, cdf{}, pdf{}, arg{};
    std::array<double, kMaxCollocation> lambda{}, v{}, S{};
    for (std::size_t i = 0; i < n; ++i) {
        arg[i] = -r * tau[i];
        arg[n + i] = -q * tau[i];
    }
    exp_lanes(arg.data(), discount.data(), 2 * n);  // e^{-r tau}, then e^{-q tau}
    const double beta1 = 2.0 * (r - q) / var - 1.0;
    for (std::size_t i = 0; i < n; ++i) {
        // alpha / h, 2 / (sigma^2 tau) at r = 0.
        const double alpha_h = r == 0.0 ? 2.0 / (var * tau[i]) : 2.0 * r / (var * (1.0 - discount[i]));
        lambda[i] = -0.5 * (beta1 + std::sqrt(beta1 * beta1 + 4.0 * alpha_h));
        v[i] = sigma * std::sqrt(tau[i]);
        out[i] = log_x;
    }
    for (int it = 0; it < 8; ++it) {
        exp_lanes(out, S.data(), n);
        for (std::size_t i = 0; i < n; ++i) {
            const double dp = (out[i] - log_K + (r - q + 0.5 * var) * tau[i]) / v[i];
            arg[i] = -dp;
            arg[n + i] = v[i] - dp;
        }
        normal_cdf_pdf_lanes(arg.data(), cdf.data(), pdf.data(), 2 * n);
        for (std::size_t i = 0; i < n; ++i) {
            const double dr = discount[i], dq = discount[n + i];
            const double put = K * dr * cdf[n + i] - S[i] * dq * cdf[i];
            const double keep = 1.0 - dq * cdf[i];
            const double g = S[i] * keep + lambda[i] * (K - S[i] - put);
            const double slope = S[i] * ((1.0 - lambda[i]) * keep + dq * pdf[i] / v[i]);  // dg / d ln S
            const double next = out[i] - g / slope;
            out[i] = next > log_x ? log_x : next;
        }
    }
}

// ln X: X = K min(1, r / q) for q > 0, else K.
template <class Real>
Real log_start(const PutMarket<Real>& m) {
    using std::log;
    const bool below_strike = value_of(m.carry) > 0.0 && value_of(m.rate) < value_of(m.carry);
    return below_strike ? log(m.strike * m.rate / m.carry) : Real(std::log(m.strike));
}

// The quadratic approximation's start, then m damped Newton steps on the
// smooth-pasting equations, kept at B <= X.  Newton's method converges where
// the fixed-point iteration B <- K e^{-(r-q) tau} N_B / D_B may not (low
// volatility with r well above q).  The last evaluation of the equations is
// taken in Real: for a Dual market the derivatives of the boundary follow
// from the same evaluation and Jacobian as the last step, by
// ds/dp = -(dR/ds)^{-1} dR/dp.
template <class Real>
[[gnu::always_inline]] inline PutBoundary<Real> solve(const CollocationScheme& sc, const PutMarket<Real>& market) noexcept {
    const PutMarket<double> m{.strike = market.strike, .expiry = market.expiry, .vol = value_of(market.vol),
                              .rate = value_of(market.rate), .carry = value_of(market.carry)};
    const std::size_t n = sc.n, l = sc.l;
    Matrix jacobian;
    ExpTable eq_table;
    std::array<std::size_t, kMaxCollocation> pivot{};
    for (std::size_t i = 0; i < n; ++i) {
        const double root_tau = std::sqrt(m.expiry) * sc.xi[i], tau = root_tau * root_tau;
        for (std::size_t k = 0; k < l; ++k) eq_table[i * l + k] = m.carry * (tau * sc.cos2[k]);
    }
    exp_lanes(eq_table.data(), eq_table.data(), n * l);
    PutBoundary<Real> out;
    out.log_start = log_start(market);
    const double log_x = value_of(out.log_start);
    const double root_T = std::sqrt(m.expiry);
    std::array<double, kMaxCollocation> s{}, residual{}, tau{}, guess{};
    for (std::size_t i = 0; i < n; ++i) {
        const double root_tau = root_T * sc.xi[i];
        tau[i] = root_tau * root_tau;
    }
    quadratic_guesses(m, log_x, tau.data(), n, guess.data());
    for (std::size_t i = 0; i < n; ++i) s[i] = positive_part(log_x - guess[i]);
    std::array<Real, kMaxCollocation> last{};
    double damping = 0.3;
    for (std::size_t it = 0; it < sc.m; ++it) {
        const bool final_step = it + 1 == sc.m;
        if (final_step) {
            smooth_pasting(sc, market, out.log_start, s, eq_table, last, jacobian.data());
            for (std::size_t i = 0; i < n; ++i) residual[i] = value_of(last[i]);
        } else {
            smooth_pasting(sc, m, log_x, s, eq_table, residual, jacobian.data());
            // Levenberg-Marquardt damping lambda I, lambda = 0.3, 0.03, ...:
            // the first steps from the approximate start stay smooth where a
            // full step would excite the high-frequency modes.  The last step
            // is Newton's.
            for (std::size_t i = 0; i < n; ++i) jacobian[i * n + i] += damping;
        }
        damping *= 0.1;
        lu_factor(jacobian.data(), n, pivot);
        lu_solve(jacobian.data(), n, pivot, residual.data());
        for (std::size_t i = 0; i < n; ++i) {
            const double next = s[i] - residual[i];
            if (std::isfinite(next)) s[i] = positive_part(next);
        }
    }
    for (std::size_t i = 0; i < n; ++i) out.h[i] = s[i] * s[i];
    if constexpr (!std::is_same_v<Real, double>) {
        std::array<double, kMaxCollocation> slope{};
        for (std::size_t d = 0; d < out.h[0].d.size(); ++d) {
            for (std::size_t i = 0; i < n; ++i) slope[i] = -last[i].d[d];
            lu_solve(jacobian.data(), n, pivot, slope.data());
            for (std::size_t i = 0; i < n; ++i) out.h[i].d[d] = 2.0 * s[i] * slope[i];
        }
    }
    return out;
}

}  // namespace

template <>
ZUB_VECTOR_CLONES PutBoundary<double> solve_put_boundary(const CollocationScheme& sc, const PutMarket<double>& m) noexcept {
    return solve(sc, m);
}

template <>
ZUB_VECTOR_CLONES PutBoundary<Dual<2>> solve_put_boundary(const CollocationScheme& sc, const PutMarket<Dual<2>>& m) noexcept {
    return solve(sc, m);
}

}  // namespace zub
