#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include "core/rate.hpp"

namespace zub {
namespace {

InterestRate rate_of(double r, CompoundingKind kind, uint8_t periods = 1,
                     DayCountConvention dcc = DayCountConvention::act365_fixed()) {
    return InterestRate{r, Compounding{kind, periods}, dcc};
}

// Pins the frequency names and the repr texts.
TEST(Compounding, FrequenciesAndRepr) {
    const Frequency freqs[] = {Frequency::Annual, Frequency::SemiAnnual, Frequency::Quarterly, Frequency::Monthly};
    const char* names[] = {"Annual", "SemiAnnual", "Quarterly", "Monthly"};
    const uint8_t periods[] = {1, 2, 4, 12};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(periods_per_year(freqs[k]), periods[k]);
        EXPECT_STREQ(frequency_name_from_periods(periods[k]), names[k]);
    }
    EXPECT_EQ((Compounding{CompoundingKind::Simple, 1}.repr()), "Compounding.Simple");
    EXPECT_EQ((Compounding{CompoundingKind::Continuous, 4}.repr()), "Compounding.Continuous");
    EXPECT_EQ((Compounding{CompoundingKind::Compounded, 2}.repr()), "Compounding.Compounded(SemiAnnual)");
    EXPECT_EQ((Compounding{CompoundingKind::SimpleThenCompounded, 12}.repr()), "Compounding.SimpleThenCompounded(Monthly)");
}

TEST(InterestRate, DiscountFactorPerCompounding) {
    using K = CompoundingKind;
    const struct { InterestRate r; double t, df; } cases[] = {
        {rate_of(0.05, K::Compounded), 1.0, 1.0 / 1.05},
        {rate_of(0.05, K::Compounded, 12), 1.0, 1.0 / std::pow(0.05 / 12.0 + 1.0, 12.0)},
        {rate_of(0.05, K::Simple), 2.0, 1.0 / 1.1},
        {rate_of(0.05, K::Continuous), 2.0, std::exp(-0.1)},
        {rate_of(0.05, K::Continuous), -1.0, std::exp(0.05)},
        {rate_of(0.05, K::Simple), 0.0, 1.0},
        {rate_of(0.05, K::Compounded, 4), 0.0, 1.0},
        {rate_of(0.05, K::Continuous), 0.0, 1.0},
        // Simple interest up to one period, compounded beyond it.
        {rate_of(0.05, K::SimpleThenCompounded, 4), 0.0, 1.0},
        {rate_of(0.05, K::SimpleThenCompounded, 4), 0.1, 1.0 / (0.1 * 0.05 + 1.0)},
        {rate_of(0.05, K::SimpleThenCompounded, 4), 0.25, 1.0 / (0.25 * 0.05 + 1.0)},
        {rate_of(0.05, K::SimpleThenCompounded, 4), 2.0, 1.0 / std::pow(0.05 / 4.0 + 1.0, 8.0)},
        {rate_of(0.05, K::SimpleThenCompounded, 1), -1.0, 1.0 / (-1.0 * 0.05 + 1.0)}};
    for (const auto& c : cases) EXPECT_EQ(c.r.discount_factor(c.t), c.df) << c.r.compounding.repr() << " t=" << c.t;
    // No jump where simple-then-compounded switches over.
    for (const uint8_t n : std::array<uint8_t, 4>{1, 2, 4, 12}) {
        const auto r = rate_of(0.07, K::SimpleThenCompounded, n);
        EXPECT_NEAR(r.discount_factor(1.0 / n), r.discount_factor(std::nextafter(1.0 / n, 2.0)), 1e-15);
    }
}

}  // namespace
}  // namespace zub
