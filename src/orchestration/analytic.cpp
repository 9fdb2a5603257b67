#include "orchestration/analytic.hpp"

#include <cmath>

#include "core/vector_clones.hpp"
#include "math/lane_math.hpp"
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

OptionResult black_scholes(OptionType type, double K, double S, double sigma, const Horizon& h) noexcept {
    const Horizon* horizon = &h;
    OptionResult r;
    double vega = 0.0, rho = 0.0;
    black_scholes_block({&type, &K, &S, &sigma, &horizon}, 1,
                        {&r.price, &r.greeks.delta, &r.greeks.gamma, &r.greeks.theta, &vega, &rho});
    r.greeks.vega = vega;
    r.greeks.rho = rho;
    return r;
}

// The operations follow one fixed order so that prices are reproducible to
// the last bit, four options at a time or one alone: N(-x) is the
// distribution function at -x, never 1 - N(x), and the density is taken at
// d1 only.  No argument is validated; T <= 0, sigma <= 0, S <= 0 or K <= 0
// give whatever the floating-point operations give.  When a result is not
// finite, the formula is evaluated again for that option with the terms
// whose discount factor overflowed (exp(-r T) with r T < -709) taken
// through logarithms, so that price and Greeks are right wherever they are
// finite.
ZUB_VECTOR_CLONES void black_scholes_block(const ClosedFormBlock& in, std::size_t count,
                                           const ClosedFormOutputs& out) noexcept {
    using lanes::I;
    using lanes::V;
    constexpr std::size_t kWidth = lanes::kWidth;
    // Options in chunks, each taken in passes over its quantities side by
    // side: the inputs, d1 and d2, the error function at d1 / sqrt 2 and
    // d2 / sqrt 2 (sorted by range), then the formula.  A chunk's arrays
    // are padded to whole blocks of four with copies of its first option.
    constexpr std::size_t kChunk = 64;
    struct Column {
        alignas(32) double at[kChunk];
        [[gnu::always_inline]] void get(std::size_t i, V& v) const noexcept { __builtin_memcpy(&v, at + i, sizeof v); }
        void set(std::size_t i, const V& v) noexcept { __builtin_memcpy(at + i, &v, sizeof v); }
    };
    Column S, K, sigma, T, s, r, q, er, eq, dr, dq, call, d1, d2, density;
    alignas(32) double erf_arg[2 * kChunk], erf_value[2 * kChunk];
    for (std::size_t first = 0; first < count; first += kChunk) {
        const std::size_t options = count - first < kChunk ? count - first : kChunk;
        const std::size_t padded = (options + kWidth - 1) / kWidth * kWidth;
        for (std::size_t j = 0; j < padded; ++j) {
            const std::size_t i = first + (j < options ? j : 0);
            const Horizon& h = *in.horizon[i];
            S.at[j] = in.spot[i], K.at[j] = in.strike[i], sigma.at[j] = in.vol[i];
            T.at[j] = h.T, s.at[j] = h.root_T, r.at[j] = h.rate, q.at[j] = h.carry;
            er.at[j] = h.rate_exponent, eq.at[j] = h.carry_exponent;
            dr.at[j] = h.rate_discount, dq.at[j] = h.carry_discount;
            call.at[j] = in.type[i] == OptionType::Call ? 1.0 : 0.0;
        }
        for (std::size_t j = 0; j < padded; j += kWidth) {
            V S_, K_, sg, t, rt, r_, q_;
            S.get(j, S_), K.get(j, K_), sigma.get(j, sg), T.get(j, t), s.get(j, rt), r.get(j, r_), q.get(j, q_);
            const V v = sg * rt;
            V log_moneyness;
            lanes::log(S_ / K_, log_moneyness);
            const V x1 = (log_moneyness + ((r_ - q_) + 0.5 * sg * sg) * t) / v;
            const V x2 = x1 - v;
            d1.set(j, x1);
            d2.set(j, x2);
            V e;
            lanes::table_exp(-0.5 * x1 * x1, e);
            density.set(j, e / 2.5066282746310002);
            const V w1 = x1 / 1.4142135623730951, w2 = x2 / 1.4142135623730951;
            __builtin_memcpy(erf_arg + j, &w1, sizeof w1);
            __builtin_memcpy(erf_arg + padded + j, &w2, sizeof w2);
        }
        error_function_lanes(erf_arg, erf_value, 2 * padded);
        for (std::size_t j = 0; j < padded; j += kWidth) {
            // N(d) = (erf(d / sqrt 2) + 1) / 2 and N(-d) = (1 - erf(d / sqrt 2)) / 2:
            // the error function is odd to the bit, so the second is the
            // first's formula at -d.
            V e1, e2;
            __builtin_memcpy(&e1, erf_value + j, sizeof e1);
            __builtin_memcpy(&e2, erf_value + padded + j, sizeof e2);
            const V nd1 = (e1 + 1.0) * 0.5, nmd1 = (1.0 - e1) * 0.5;
            const V nd2 = (e2 + 1.0) * 0.5, nmd2 = (1.0 - e2) * 0.5;
            V S_, K_, sg, t, rt, r_, q_, dr_, dq_, n, c;
            S.get(j, S_), K.get(j, K_), sigma.get(j, sg), T.get(j, t), s.get(j, rt), r.get(j, r_), q.get(j, q_);
            dr.get(j, dr_), dq.get(j, dq_), density.get(j, n), call.get(j, c);
            const I is_call = c != 0.0;

            V price = is_call ? nd1 * S_ * dq_ - K_ * dr_ * nd2 : K_ * dr_ * nmd2 - nmd1 * S_ * dq_;
            V delta = is_call ? dq_ * nd1 : dq_ * (nd1 - 1.0);
            // The decay term's numerator is formed as each type's formula
            // writes it, and divided once.
            const V decay = (is_call ? S_ * dq_ * n * sg : -sg * S_ * dq_ * n) / (2.0 * rt);
            V theta = is_call ? nd1 * S_ * q_ * dq_ - decay - nd2 * K_ * r_ * dr_
                              : decay - nmd1 * S_ * q_ * dq_ + nmd2 * K_ * r_ * dr_;
            V rho = is_call ? K_ * t * dr_ * nd2 : -(K_ * t * dr_ * nmd2);
            V gamma = dq_ * n / (S_ * sg * rt);
            V vega = rt * S_ * dq_ * n;

            const V sum = price + delta + gamma + theta + vega + rho;
            const std::size_t live = j + kWidth <= options ? kWidth : options - j;
            for (std::size_t l = 0; l < live; ++l) {
                if (std::isfinite(sum[l])) [[likely]] continue;
                const Parts p{is_call[l] != 0, S_[l], K_[l], t[l], sg[l], r_[l], q_[l], rt[l], d1.at[j + l],
                              d2.at[j + l], nd1[l], nmd1[l], nd2[l], nmd2[l], n[l], er.at[j + l], eq.at[j + l],
                              dr_[l], dq_[l]};
                const OptionResult careful = evaluate<true>(p);
                price[l] = careful.price, delta[l] = careful.greeks.delta, gamma[l] = careful.greeks.gamma;
                theta[l] = careful.greeks.theta, vega[l] = *careful.greeks.vega, rho[l] = *careful.greeks.rho;
            }
            for (std::size_t l = 0; l < live; ++l) {
                const std::size_t i = first + j + l;
                out.price[i] = price[l], out.delta[i] = delta[l], out.gamma[i] = gamma[l];
                out.theta[i] = theta[l], out.vega[i] = vega[l], out.rho[i] = rho[l];
            }
        }
    }
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
