#include "orchestration/analytic.hpp"

#include <cmath>

#include "math/normal.hpp"

namespace zub {

// The operations follow one fixed order so that prices are reproducible to the
// last bit: N(-x) is the distribution function at -x, never 1 - N(x), and the
// density is taken at d1 only.  No argument is validated; T <= 0, sigma <= 0, S <= 0 or
// K <= 0 give whatever the floating-point operations give.
OptionResult black_scholes(bool is_call, double S, double K, double T, double sigma, double r,
                           double q) noexcept {
    const double s = std::sqrt(T);
    const double v = sigma * s;
    const double d1 = (std::log(S / K) + ((r - q) + 0.5 * sigma * sigma) * T) / v;
    const double d2 = d1 - v;

    // N(d1), N(-d1), N(d2), N(-d2), each equal to the bit to the normal
    // distribution function at its own argument.
    const auto [nd1, nmd1] = norm_cdf_pair(d1);
    const auto [nd2, nmd2] = norm_cdf_pair(d2);
    const double n = norm_pdf(d1);

    const double dr = std::exp(-r * T);
    const double dq = std::exp(-q * T);

    OptionResult out;
    if (is_call) {
        out.price = nd1 * S * dq - K * dr * nd2;
        out.greeks.delta = dq * nd1;
        out.greeks.theta = nd1 * S * q * dq - S * dq * n * sigma / (2.0 * s) - nd2 * K * r * dr;
        out.greeks.rho = K * T * dr * nd2;
    } else {
        out.price = K * dr * nmd2 - nmd1 * S * dq;
        out.greeks.delta = dq * (nd1 - 1.0);
        out.greeks.theta = -sigma * S * dq * n / (2.0 * s) - nmd1 * S * q * dq + nmd2 * K * r * dr;
        out.greeks.rho = -K * T * dr * nmd2;
    }
    out.greeks.gamma = dq * n / (S * sigma * s);
    out.greeks.vega = s * S * dq * n;
    return out;
}

}  // namespace zub
