// SSVI slices: their exact k-derivatives (which the arbitrage check reads)
// and the sufficient conditions against the check on random surfaces.
#include <gtest/gtest.h>

#include <random>

#include "execution/surface_fit.hpp"

namespace {

using namespace zub;

TEST(SsviSlice, DerivativesMatchDifferences) {
    for (double rho : {-0.8, 0.0, 0.5})
        for (double k : {-1.5, -0.1, 0.0, 0.3, 2.0}) {
            double w[3], up[3], down[3];
            const double h = 1e-5;
            SsviParameters::slice(k, 0.04, 0.2, rho, w);
            SsviParameters::slice(k + h, 0.04, 0.2, rho, up);
            SsviParameters::slice(k - h, 0.04, 0.2, rho, down);
            EXPECT_NEAR(w[1], (up[0] - down[0]) / (2 * h), 1e-8);
            EXPECT_NEAR(w[2], (up[1] - down[1]) / (2 * h), 1e-6);
        }
}

// Surfaces drawn at random: those meeting the conditions show no arbitrage
// anywhere on the grid, between and beyond their expiries too, and some of
// those that break them do.
TEST(SsviSurface, ConditionsMeanNoArbitrageFound) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> ks, ts;
    for (int i = -60; i <= 60; ++i) ks.push_back(0.05 * i);
    for (int i = 1; i <= 80; ++i) ts.push_back(0.05 * i);
    int free = 0, caught = 0;
    for (int trial = 0; trial < 200; ++trial) {
        SsviParameters p;
        p.spot = 100.0;
        // A third of the draws break a condition by a little, so both sides are seen.
        const double rho = 1.8 * u(rng) - 0.9;
        double theta = 0.0, psi = 0.0;
        for (int j = 0; j < 4; ++j) {
            const double before = theta;
            theta += 0.05 * u(rng);
            const double cap = std::min(2.0 / (1.0 + std::abs(rho)), std::sqrt(4.0 * theta / (1.0 + std::abs(rho))));
            const double room = std::min(cap, j == 0 ? cap : psi * theta / before) - psi;
            psi += room * (u(rng) < 0.9 ? u(rng) : 1.0 + 0.5 * u(rng));
            p.expiries.push_back(0.5 * (j + 1));
            p.forwards.push_back(100.0);
            p.thetas.push_back(theta), p.psis.push_back(psi), p.rhos.push_back(rho);
        }
        const bool conditions = p.arbitrage_free();
        auto surface = VolSurface::ssvi(p, DayCountConvention::act365_fixed());
        ASSERT_TRUE(surface.ok());
        const auto found = check_arbitrage(*surface, ks, ts);
        if (conditions) {
            ++free;
            EXPECT_TRUE(found.empty()) << "trial " << trial;
        } else {
            caught += !found.empty();
        }
    }
    EXPECT_GT(free, 20);
    EXPECT_GT(caught, 0);
}

}  // namespace
