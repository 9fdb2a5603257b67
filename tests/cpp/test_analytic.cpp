#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "math/normal.hpp"
#include "orchestration/analytic.hpp"

namespace {

using zub::black_scholes;
using zub::OptionType;

struct Case {
    double S, K, T, sigma, r, q;
    double call, put;  // reference prices from an independent erfc-based evaluation
};

const Case kCases[] = {
    {100, 100, 1.0, 0.2, 0.05, 0.0, 10.450583572185565, 5.573526022256971},
    {90, 110, 0.5, 0.35, 0.03, 0.01, 3.0727372457757838, 21.88392747477127},
    {120, 100, 2.0, 0.15, -0.01, 0.02, 17.29272358316379, NAN},
    {50, 100, 0.25, 0.6, 0.08, 0.0, NAN, 48.1095796045444},
};

TEST(BlackScholes, ReferencePricesAndParity) {
    for (const Case& c : kCases) {
        const auto call =
            black_scholes(OptionType::Call, c.K, c.T, {.spot = c.S, .vol = c.sigma, .rate = c.r, .carry = c.q});
        const auto put =
            black_scholes(OptionType::Put, c.K, c.T, {.spot = c.S, .vol = c.sigma, .rate = c.r, .carry = c.q});
        if (!std::isnan(c.call)) {
            EXPECT_NEAR(call.price, c.call, 1e-12 * c.S);
        }
        if (!std::isnan(c.put)) {
            EXPECT_NEAR(put.price, c.put, 1e-12 * c.S);
        }
        const double dq = std::exp(-c.q * c.T), dr = std::exp(-c.r * c.T);
        EXPECT_NEAR(call.price - put.price, c.S * dq - c.K * dr, 1e-12 * c.S);
        EXPECT_NEAR(put.greeks.delta, call.greeks.delta - dq, 1e-15);
        EXPECT_EQ(call.greeks.gamma, put.greeks.gamma);
        ASSERT_TRUE(call.greeks.vega && put.greeks.vega && call.greeks.rho && put.greeks.rho);
        EXPECT_EQ(*call.greeks.vega, *put.greeks.vega);
        // Parity differentiated in r: rho_call - rho_put = K T Dr.
        EXPECT_NEAR(*call.greeks.rho - *put.greeks.rho, c.K * c.T * dr, 1e-10 * c.K);
    }
}

// Every Greek against a central difference of the price in its own input;
// theta is the calendar-time derivative, i.e. minus the derivative in T.
TEST(BlackScholes, GreeksMatchFiniteDifferences) {
    for (const Case& c : kCases) {
        for (bool is_call : {true, false}) {
            auto price = [&](double S, double T, double sigma, double r) {
                return black_scholes(is_call ? OptionType::Call : OptionType::Put, c.K, T,
                                     {.spot = S, .vol = sigma, .rate = r, .carry = c.q})
                    .price;
            };
            const auto res = black_scholes(is_call ? OptionType::Call : OptionType::Put, c.K, c.T,
                                           {.spot = c.S, .vol = c.sigma, .rate = c.r, .carry = c.q});
            const double hS = 1e-4 * c.S, hG = 1e-3 * c.S, h = 1e-5;
            const double p0 = price(c.S, c.T, c.sigma, c.r);
            EXPECT_NEAR(res.greeks.delta, (price(c.S + hS, c.T, c.sigma, c.r) - price(c.S - hS, c.T, c.sigma, c.r)) / (2 * hS),
                        5e-8);
            const double up = price(c.S + hG, c.T, c.sigma, c.r), dn = price(c.S - hG, c.T, c.sigma, c.r);
            EXPECT_NEAR(res.greeks.gamma, (up - 2 * p0 + dn) / (hG * hG), 1e-6);
            EXPECT_NEAR(*res.greeks.vega, (price(c.S, c.T, c.sigma + h, c.r) - price(c.S, c.T, c.sigma - h, c.r)) / (2 * h),
                        1e-6 * c.S);
            EXPECT_NEAR(*res.greeks.rho, (price(c.S, c.T, c.sigma, c.r + h) - price(c.S, c.T, c.sigma, c.r - h)) / (2 * h),
                        1e-6 * c.S);
            EXPECT_NEAR(res.greeks.theta, -(price(c.S, c.T + h, c.sigma, c.r) - price(c.S, c.T - h, c.sigma, c.r)) / (2 * h),
                        1e-6 * c.S);
        }
    }
}

TEST(BlackScholes, EqualRateAndCarryAtTheMoney) {
    // With q = r the forward is the spot, so d1 = sigma sqrt(T) / 2.
    const double T = 0.75, sigma = 0.3, r = 0.04;
    const auto res = black_scholes(OptionType::Call, 80, T, {.spot = 80, .vol = sigma, .rate = r, .carry = r});
    const double d1 = 0.5 * sigma * std::sqrt(T);
    EXPECT_NEAR(res.greeks.delta, std::exp(-r * T) * zub::norm_cdf(d1), 1e-15);
    EXPECT_NEAR(*res.greeks.vega, std::sqrt(T) * 80 * std::exp(-r * T) * zub::norm_pdf(d1), 1e-12);
}

// A discount factor that overflows (r T or q T below -709) against a
// vanishing probability: references from a 50-digit evaluation of the formula.
TEST(BlackScholes, FiniteWhereAnOverflowingDiscountMeetsAVanishingProbability) {
    struct Row {
        bool is_call;
        double S, K, T, sigma, r, q, want[6];  // price, delta, gamma, theta, vega, rho
    } const rows[] = {
        {true, 100, 100, 1000, 50, -1, 0, {100, 1, 0, 0, 0, 0}},
        {false, 100, 100, 1000, 50, 0, -1, {100, 0, 0, 0, 0, -100000}},
        {true, 5.7e-17, 1, 720, 0.037267799624996496, -1, -1, {0.0015014248957105263, 999813239533988.98,
         6.4778318082442515e+32, -0.0029629856974456358, 56.473620006449615, 39.95130942556333}},
    };
    for (const Row& c : rows) {
        const auto res = black_scholes(c.is_call ? OptionType::Call : OptionType::Put, c.K, c.T,
                                       {.spot = c.S, .vol = c.sigma, .rate = c.r, .carry = c.q});
        const auto& g = res.greeks;
        const double got[] = {res.price, g.delta, g.gamma, g.theta, *g.vega, *g.rho};
        for (int i = 0; i < 6; ++i) EXPECT_NEAR(got[i], c.want[i], 1e-11 * std::fabs(c.want[i])) << "field " << i;
    }
}

// The formula as written, one option at a time with the C library's exp and
// log; the vector path may differ from it only by those functions' last
// bits: at most a few ulps of each number's natural scale.
TEST(BlackScholes, BlockWithinUlpsOfTheWrittenFormula) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> u(0, 1);
    const double ulp = 0x1p-52;
    for (int it = 0; it < 200000; ++it) {
        const double S = 100, K = 100 * std::exp((u(rng) - 0.5) * 3), sigma = 0.01 + 1.5 * u(rng);
        const double T = 1.0 / 365 + 10 * u(rng), r = (u(rng) - 0.3) * 0.1, q = (u(rng) - 0.3) * 0.1;
        const bool call = it % 2 == 0;
        const auto got = black_scholes(call ? OptionType::Call : OptionType::Put, K, T,
                                       {.spot = S, .vol = sigma, .rate = r, .carry = q});
        const double s = std::sqrt(T), dr = std::exp(-r * T), dq = std::exp(-q * T);
        const double d1 = (std::log(S / K) + ((r - q) + 0.5 * sigma * sigma) * T) / (sigma * s), d2 = d1 - sigma * s;
        const double n = zub::norm_pdf(d1), sign = call ? 1.0 : -1.0;
        const double N1 = zub::norm_cdf(sign * d1), N2 = zub::norm_cdf(sign * d2);
        const double want[] = {sign * (N1 * S * dq - K * dr * N2), call ? dq * N1 : dq * (zub::norm_cdf(d1) - 1.0),
                               dq * n / (S * sigma * s),
                               sign * (N1 * S * q * dq - N2 * K * r * dr) - S * dq * n * sigma / (2.0 * s),
                               s * S * dq * n, sign * K * T * dr * N2};
        const double scale[] = {std::max(S * dq, K * dr), 1, 1 / (S * sigma * s),
                                S * sigma / s + K * std::fabs(r) + S * std::fabs(q), S * s, K * T};
        const double have[] = {got.price, got.greeks.delta, got.greeks.gamma, got.greeks.theta, *got.greeks.vega,
                               *got.greeks.rho};
        for (int k = 0; k < 6; ++k) ASSERT_LE(std::fabs(have[k] - want[k]), 8 * ulp * scale[k]) << it << " field " << k;
    }
}

// A block gives each option the bits it gets alone, whatever its place:
// across chunks and partial blocks, beside the overflow-careful path and
// beside inputs that are not numbers.
TEST(BlackScholes, BlockGivesEachOptionItsOwnBits) {
    const std::size_t count = 150;
    std::vector<zub::Horizon> horizons;
    for (int e = 0; e < 5; ++e) horizons.push_back(zub::horizon(0.02 + 0.7 * e, 0.03 - 0.02 * e, 0.01 * e));
    horizons.push_back(zub::horizon(1000, -1, 0));
    std::vector<OptionType> type(count);
    std::vector<double> K(count), S(count, 100.0), vol(count), out[6];
    std::vector<const zub::Horizon*> h(count);
    for (std::size_t i = 0; i < count; ++i) {
        type[i] = i % 3 == 0 ? OptionType::Put : OptionType::Call;
        K[i] = 40.0 + 1.1 * static_cast<double>(i);
        vol[i] = i == 77 ? NAN : 0.05 + 0.01 * static_cast<double>(i % 40);
        h[i] = &horizons[i % horizons.size()];
    }
    vol[5] = 50;  // with horizons[5]: an overflowing discount factor
    for (auto& o : out) o.resize(count);
    zub::black_scholes_block({type.data(), K.data(), S.data(), vol.data(), h.data()}, count,
                             {out[0].data(), out[1].data(), out[2].data(), out[3].data(), out[4].data(), out[5].data()});
    const auto same = [](double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); };
    for (std::size_t i = 0; i < count; ++i) {
        const auto alone = black_scholes(type[i], K[i], S[i], vol[i], *h[i]);
        const double want[] = {alone.price, alone.greeks.delta, alone.greeks.gamma, alone.greeks.theta,
                               *alone.greeks.vega, *alone.greeks.rho};
        for (int k = 0; k < 6; ++k) EXPECT_TRUE(same(out[k][i], want[k])) << i << " field " << k;
    }
    EXPECT_TRUE(std::isfinite(out[0][5]));
}

}  // namespace
