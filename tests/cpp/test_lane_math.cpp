#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <random>
#include <vector>

#include "math/lane_math.hpp"

namespace {

// Relative error in units of 2^-53 against long-double references: exp
// within 2, the density within 3, N within 6 (the lower tail included),
// wherever the reference is a normal double.
TEST(LaneMath, AccurateAgainstLongDouble) {
    std::vector<double> x;
    for (int k = -400000; k <= 400000; ++k) x.push_back(k * 1e-4);
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> wide(-745.0, 709.0);
    for (int k = 0; k < 100000; ++k) x.push_back(wide(rng));
    std::vector<double> e(x.size()), cdf(x.size()), pdf(x.size());
    zub::exp_lanes(x.data(), e.data(), x.size());
    zub::normal_cdf_pdf_lanes(x.data(), cdf.data(), pdf.data(), x.size());
    const long double root_2pi = std::sqrt(2.0L * 3.141592653589793238462643383279502884L);
    const auto ulps = [](double got, long double want) {
        return want > DBL_MIN && want < DBL_MAX ? std::fabs((got - want) / want) * 0x1p53L : 0.0L;
    };
    for (std::size_t i = 0; i < x.size(); ++i) {
        const long double xi = x[i];
        ASSERT_LE(ulps(e[i], std::exp(xi)), 2.0L) << x[i];
        ASSERT_LE(ulps(pdf[i], std::exp(-xi * xi / 2) / root_2pi), 3.0L) << x[i];
        ASSERT_LE(ulps(cdf[i], std::erfc(-xi / std::sqrt(2.0L)) / 2), 6.0L) << x[i];
    }
    const double special[] = {INFINITY, -INFINITY, 710.0, -746.0};
    double se[4], sc[4], sp[4];
    zub::exp_lanes(special, se, 4);
    zub::normal_cdf_pdf_lanes(special, sc, sp, 4);
    EXPECT_EQ(se[0], INFINITY);
    EXPECT_EQ(se[1] + se[3], 0.0);
    EXPECT_EQ(se[2], INFINITY);
    EXPECT_EQ(sc[0] - sc[1] + sp[0] + sp[1], 1.0);
    const double nan = NAN;
    zub::normal_cdf_pdf_lanes(&nan, sc, sp, 1);
    zub::exp_lanes(&nan, se, 1);
    EXPECT_TRUE(std::isnan(sc[0]) && std::isnan(sp[0]) && std::isnan(se[0]));
}

// An argument's results are the same bits alone, at any position of a
// longer array and beside any neighbours.
TEST(LaneMath, ResultsIndependentOfPosition) {
    const double args[] = {-37.5, -8.0, -1.7596, -0.3, 0.0, 0.9, 1.3, 4.0, 12.0, -700.0, 600.0};
    double neighbours[7] = {-2.5, 0.1, 3.0, -9.0, 20.0, -0.8, 1.1};
    for (const double a : args) {
        double e1, c1, p1;
        zub::exp_lanes(&a, &e1, 1);
        zub::normal_cdf_pdf_lanes(&a, &c1, &p1, 1);
        for (std::size_t at = 0; at < 7; ++at) {
            double in[7], e[7], c[7], p[7];
            std::copy(neighbours, neighbours + 7, in);
            in[at] = a;
            zub::exp_lanes(in, e, 7);
            zub::normal_cdf_pdf_lanes(in, c, p, 7);
            EXPECT_EQ(e[at], e1) << a << " at " << at;
            EXPECT_EQ(c[at], c1) << a << " at " << at;
            EXPECT_EQ(p[at], p1) << a << " at " << at;
        }
    }
}

}  // namespace
