#include <gtest/gtest.h>

#include <cmath>

#include "core/rate.hpp"

namespace zub {
namespace {

InterestRate rate_of(double r, CompoundingKind kind, Frequency f = Frequency::Annual,
                     DayCountConvention dcc = DayCountConvention::act365_fixed()) {
    return InterestRate{r, Compounding{kind, periods_per_year(f)}, dcc};
}

TEST(Frequency, PeriodCountsAndNames) {
    const std::pair<Frequency, const char*> cases[] = {{Frequency::Annual, "Annual"},
                                                      {Frequency::SemiAnnual, "SemiAnnual"},
                                                      {Frequency::Quarterly, "Quarterly"},
                                                      {Frequency::Monthly, "Monthly"}};
    const uint8_t periods[] = {1, 2, 4, 12};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(periods_per_year(cases[k].first), periods[k]);
        EXPECT_STREQ(frequency_name_from_periods(periods[k]), cases[k].second);
    }
}

TEST(Compounding, Repr) {
    EXPECT_EQ((Compounding{CompoundingKind::Simple, 1}.repr()), "Compounding.Simple");
    EXPECT_EQ((Compounding{CompoundingKind::Continuous, 4}.repr()), "Compounding.Continuous");
    EXPECT_EQ((Compounding{CompoundingKind::Compounded, 2}.repr()), "Compounding.Compounded(SemiAnnual)");
    EXPECT_EQ((Compounding{CompoundingKind::Compounded, 4}.repr()), "Compounding.Compounded(Quarterly)");
    EXPECT_EQ((Compounding{CompoundingKind::SimpleThenCompounded, 12}.repr()),
              "Compounding.SimpleThenCompounded(Monthly)");
}

struct DiscountCase {
    InterestRate rate;
    double t;
    double expected;
};

class DiscountFactor : public ::testing::TestWithParam<DiscountCase> {};

TEST_P(DiscountFactor, FollowsTheCompoundingRule) {
    const auto& c = GetParam();
    EXPECT_EQ(c.rate.discount_factor(c.t), c.expected) << c.rate.compounding.repr() << " t=" << c.t;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DiscountFactor,
    ::testing::Values(
        DiscountCase{rate_of(0.05, CompoundingKind::Compounded), 1.0, 1.0 / 1.05},
        DiscountCase{rate_of(0.05, CompoundingKind::Compounded, Frequency::Monthly), 1.0,
                     1.0 / std::pow(0.05 / 12.0 + 1.0, 12.0)},
        DiscountCase{rate_of(0.05, CompoundingKind::Simple), 2.0, 1.0 / 1.1},
        DiscountCase{rate_of(0.05, CompoundingKind::Continuous), 2.0, std::exp(-0.1)},
        DiscountCase{rate_of(0.05, CompoundingKind::Simple), 0.0, 1.0},
        DiscountCase{rate_of(0.05, CompoundingKind::Compounded, Frequency::Quarterly), 0.0, 1.0},
        DiscountCase{rate_of(0.05, CompoundingKind::Continuous), 0.0, 1.0},
        DiscountCase{rate_of(0.05, CompoundingKind::Continuous), -1.0, std::exp(0.05)},
        // Simple within the first period, compounded beyond it.
        DiscountCase{rate_of(0.05, CompoundingKind::SimpleThenCompounded, Frequency::Quarterly), 0.0, 1.0},
        DiscountCase{rate_of(0.05, CompoundingKind::SimpleThenCompounded, Frequency::Quarterly), 0.1,
                     1.0 / (0.1 * 0.05 + 1.0)},
        DiscountCase{rate_of(0.05, CompoundingKind::SimpleThenCompounded, Frequency::Quarterly), 0.25,
                     1.0 / (0.25 * 0.05 + 1.0)},
        DiscountCase{rate_of(0.05, CompoundingKind::SimpleThenCompounded, Frequency::Quarterly), 2.0,
                     1.0 / std::pow(0.05 / 4.0 + 1.0, 8.0)},
        DiscountCase{rate_of(0.05, CompoundingKind::SimpleThenCompounded, Frequency::Annual), -1.0,
                     1.0 / (-1.0 * 0.05 + 1.0)}));

TEST(DiscountFactor, SimpleThenCompoundedIsContinuousAtThePeriodEnd) {
    // At t = 1/n both branches name the same number; just past it the
    // compounded branch takes over without a jump.
    for (Frequency f : {Frequency::Annual, Frequency::SemiAnnual, Frequency::Quarterly, Frequency::Monthly}) {
        const auto r = rate_of(0.07, CompoundingKind::SimpleThenCompounded, f);
        const double n = periods_per_year(f);
        const double edge = 1.0 / n;
        EXPECT_NEAR(r.discount_factor(edge), r.discount_factor(std::nextafter(edge, 2.0)), 1e-15);
        EXPECT_EQ(r.discount_factor(edge * 1.5), rate_of(0.07, CompoundingKind::Compounded, f).discount_factor(edge * 1.5));
    }
}

TEST(DiscountFactor, IndependentOfDayCount) {
    for (auto kind : {CompoundingKind::Simple, CompoundingKind::Compounded, CompoundingKind::Continuous,
                      CompoundingKind::SimpleThenCompounded}) {
        const auto a = rate_of(0.04, kind, Frequency::SemiAnnual, DayCountConvention::act360());
        const auto b = rate_of(0.04, kind, Frequency::SemiAnnual, DayCountConvention::thirty360(Thirty360Kind::GermanIsda));
        EXPECT_EQ(a.discount_factor(1.7), b.discount_factor(1.7));
    }
}

}  // namespace
}  // namespace zub
