#include "orchestration/analytic.hpp"

#include <cmath>

#include "math/normal.hpp"

namespace zub {

namespace {

// The quantities the price and the Greeks are formed from.
struct Parts {
    bool is_call;
    double S, K, T, sigma, r, q;
    double s, d1, d2, nd1, nmd1, nd2, nmd2, n;
    double er, eq, dr, dq;  // dr = exp(er), dq = exp(eq)
};

// c * exp(e) * exp(log_p), from the logarithms; NaN when any of them is.
[[gnu::noinline, gnu::cold]] double from_logs(double c, double e, double log_p) {
    const double exponent = e + log_p;
    if (c == 0.0 && !std::isnan(exponent)) return c;
    return std::copysign(std::exp(std::log(std::fabs(c)) + exponent), c);
}

// One term c * exp(e) * p of the formula, p a probability or the density, as
// written.  With `Careful`, a term that is not finite (exp(e) overflowed
// against a p that underflowed: inf * 0; or an intermediate product
// overflowed) is `logs()` instead, from_logs(c, e, ln p), so that it is
// right wherever it is finite.
template <bool Careful, class Logs>
double term(double written, Logs&& logs) {
    if (!Careful || std::isfinite(written)) return written;
    const double v = logs();
    return std::isnan(v) ? written : v;
}

template <bool Careful>
OptionResult evaluate(const Parts& p) {
    const auto& [is_call, S, K, T, sigma, r, q, s, d1, d2, nd1, nmd1, nd2, nmd2, n, er, eq, dr, dq] = p;
    const auto ln_n = [&] { return -0.5 * d1 * d1 - 0.91893853320467274; };  // minus ln sqrt(2 pi)
    const auto t = [](double written, auto&& logs) { return term<Careful>(written, logs); };

    OptionResult out;
    if (is_call) {
        out.price = t(nd1 * S * dq, [&] { return from_logs(S, eq, log_norm_cdf(d1)); }) -
                    t(K * dr * nd2, [&] { return from_logs(K, er, log_norm_cdf(d2)); });
        out.greeks.delta = t(dq * nd1, [&] { return from_logs(1.0, eq, log_norm_cdf(d1)); });
        out.greeks.theta = t(nd1 * S * q * dq, [&] { return from_logs(S * q, eq, log_norm_cdf(d1)); }) -
                           t(S * dq * n * sigma / (2.0 * s), [&] { return from_logs(S * sigma / (2.0 * s), eq, ln_n()); }) -
                           t(nd2 * K * r * dr, [&] { return from_logs(K * r, er, log_norm_cdf(d2)); });
        out.greeks.rho = t(K * T * dr * nd2, [&] { return from_logs(K * T, er, log_norm_cdf(d2)); });
    } else {
        out.price = t(K * dr * nmd2, [&] { return from_logs(K, er, log_norm_cdf(-d2)); }) -
                    t(nmd1 * S * dq, [&] { return from_logs(S, eq, log_norm_cdf(-d1)); });
        out.greeks.delta = t(dq * (nd1 - 1.0), [&] { return from_logs(-1.0, eq, log_norm_cdf(-d1)); });
        out.greeks.theta =
            t(-sigma * S * dq * n / (2.0 * s), [&] { return from_logs(-sigma * S / (2.0 * s), eq, ln_n()); }) -
            t(nmd1 * S * q * dq, [&] { return from_logs(S * q, eq, log_norm_cdf(-d1)); }) +
            t(nmd2 * K * r * dr, [&] { return from_logs(K * r, er, log_norm_cdf(-d2)); });
        out.greeks.rho = -t(K * T * dr * nmd2, [&] { return from_logs(K * T, er, log_norm_cdf(-d2)); });
    }
    out.greeks.gamma = t(dq * n / (S * sigma * s), [&] { return from_logs(1.0 / (S * sigma * s), eq, ln_n()); });
    out.greeks.vega = t(s * S * dq * n, [&] { return from_logs(s * S, eq, ln_n()); });
    return out;
}

}  // namespace

Horizon horizon(double T, double rate, double carry) noexcept {
    const double er = -rate * T, eq = -carry * T;
    return {.T = T, .root_T = std::sqrt(T), .rate = rate, .carry = carry, .rate_exponent = er,
            .carry_exponent = eq, .rate_discount = std::exp(er), .carry_discount = std::exp(eq)};
}

OptionResult black_scholes(OptionType type, double K, double T, const MarketPoint& m) noexcept {
    return black_scholes(type, K, m.spot, m.vol, horizon(T, m.rate, m.carry));
}

// The operations follow one fixed order so that prices are reproducible to the
// last bit: N(-x) is the distribution function at -x, never 1 - N(x), and the
// density is taken at d1 only.  No argument is validated; T <= 0, sigma <= 0, S <= 0 or
// K <= 0 give whatever the floating-point operations give.  When a result is
// not finite, the formula is evaluated again with the terms whose discount
// factor overflowed (exp(-r T) with r T < -709) taken through logarithms, so
// that price and Greeks are right wherever they are finite.
OptionResult black_scholes(OptionType type, double K, double S, double sigma, const Horizon& h) noexcept {
    const bool is_call = type == OptionType::Call;
    const double T = h.T, r = h.rate, q = h.carry;
    const double s = h.root_T;
    const double v = sigma * s;
    const double d1 = (std::log(S / K) + ((r - q) + 0.5 * sigma * sigma) * T) / v;
    const double d2 = d1 - v;

    // N(d1), N(-d1), N(d2), N(-d2), each equal to the bit to the normal
    // distribution function at its own argument.
    const auto [nd1, nmd1] = norm_cdf_pair(d1);
    const auto [nd2, nmd2] = norm_cdf_pair(d2);
    const double n = norm_pdf(d1);

    const Parts p{is_call, S, K, T, sigma, r, q, s, d1, d2, nd1, nmd1, nd2, nmd2, n,
                  h.rate_exponent, h.carry_exponent, h.rate_discount, h.carry_discount};

    const OptionResult out = evaluate<false>(p);
    const Greeks& g = out.greeks;
    if (std::isfinite(out.price + g.delta + g.gamma + g.theta + *g.vega + *g.rho)) [[likely]] return out;
    return evaluate<true>(p);
}

double value_without_volatility(OptionType type, ExerciseStyle style, double K, double T, const MarketPoint& m,
                                std::span<const DividendAt> dividends) noexcept {
    const double sign = type == OptionType::Call ? 1.0 : -1.0;
    // The discounted forward intrinsic value of exercising at t: e^{-rt}
    // (F(t) - K) signed, with e^{-rt} F(t) = S e^{-qt} - sum over dividends
    // before t of D e^{-r t_D} e^{-q (t - t_D)}.
    const auto at = [&](double t) {
        double forward = m.spot * std::exp(-m.carry * t);
        for (const DividendAt& d : dividends) {
            if (d.amount > 0.0 && d.time > 0.0 && d.time < t) {
                forward -= d.amount * std::exp(-m.rate * d.time) * std::exp(-m.carry * (t - d.time));
            }
        }
        return sign * (forward - K * std::exp(-m.rate * t));
    };
    double value = std::fmax(at(T), 0.0);
    if (style == ExerciseStyle::American) {
        value = std::fmax(value, sign * (m.spot - K));
        for (const DividendAt& d : dividends) {
            if (d.amount > 0.0 && d.time > 0.0 && d.time < T) value = std::fmax(value, at(d.time));
        }
    }
    return value;
}

}  // namespace zub
