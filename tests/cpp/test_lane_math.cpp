#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <random>
#include <vector>

#include "math/lane_math.hpp"
#include "math/normal.hpp"

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

// The closed form's functions: exp and log within an ulp, and the error
// function the scalar one's bits wherever it needs no exponential (|x| <
// 1.25, |x| >= 6 and the special values), within two ulps in between.
TEST(LaneMath, ClosedFormFunctions) {
    std::mt19937_64 rng(9);
    std::uniform_real_distribution<double> wide(-745.0, 709.0), unit(0, 1);
    std::vector<double> x, positive, w;
    for (int k = 0; k < 200000; ++k) {
        x.push_back(wide(rng));
        positive.push_back(std::exp(60 * (unit(rng) - 0.5)));
        w.push_back(16 * (unit(rng) - 0.5));
    }
    for (const double s : {0.0, -0.0, 1e-300, 5e-324, 1.25, 6.0, double{INFINITY}, -double{INFINITY}, double{NAN}}) {
        w.push_back(s);
    }
    positive.push_back(5e-324);
    std::vector<double> e(x.size()), l(positive.size()), f(w.size());
    zub::table_exp_lanes(x.data(), e.data(), x.size());
    zub::log_lanes(positive.data(), l.data(), positive.size());
    zub::error_function_lanes(w.data(), f.data(), w.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        const long double want = std::exp(static_cast<long double>(x[i]));
        if (want > DBL_MIN) {
            ASSERT_LE(std::fabs((e[i] - want) / want) * 0x1p53L, 1.0L) << x[i];
        }
        const long double lw = std::log(static_cast<long double>(positive[i]));
        ASSERT_LE(std::fabs(l[i] - lw), std::fabs(lw) * 0x1p-52L + 1e-300L) << positive[i];
    }
    for (std::size_t i = 0; i < w.size(); ++i) {
        const double want = zub::error_function(w[i]), a = std::fabs(w[i]);
        if (a >= 1.25 && a < 6.0) {
            ASSERT_LE(std::fabs(f[i] - want), 2 * 0x1p-53) << w[i];
        } else {
            ASSERT_TRUE(f[i] == want || (std::isnan(f[i]) && std::isnan(want))) << w[i];
        }
    }
    double special[] = {0.0, -1.0, INFINITY, NAN}, logs[4];
    zub::log_lanes(special, logs, 4);
    EXPECT_TRUE(logs[0] == -INFINITY && std::isnan(logs[1]) && logs[2] == INFINITY && std::isnan(logs[3]));
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
