#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "calendar_helpers.hpp"
#include "core/error.hpp"
#include "market/rate_curve.hpp"

namespace zub {
namespace {

using K = CompoundingKind;
const auto kUs = DayCountConvention::thirty360(Thirty360Kind::UsIsda);

InterestRate rate_of(double r, K kind = K::Continuous, DayCountConvention dcc = kUs, uint8_t periods = 1) {
    return InterestRate{r, Compounding{kind, periods}, dcc};
}
Tenor months(int32_t n) { return {TenorUnit::Months, n}; }

std::variant<RateCurve, CurveError> curve(Date ref, std::vector<Tenor> tenors, std::vector<InterestRate> rates) {
    return RateCurve::interpolated(ref, tenors, rates);
}

TEST(RateCurve, FlatAndContinuousForms) {
    const auto flat = RateCurve::flat(rate_of(0.05, K::Simple, DayCountConvention::act360()));
    EXPECT_EQ(flat.zero_rate(3.0), 0.05);
    EXPECT_EQ(flat.discount_factor(2.0), 1.0 / 1.1);
    EXPECT_TRUE(flat.day_count() == DayCountConvention::act360());
    const auto cont = RateCurve::continuous(0.03, DayCountConvention::act_act_isda());
    EXPECT_EQ(cont.discount_factor(2.0), std::exp(-0.06));
    EXPECT_EQ(cont.zero_rate(-1.0), 0.03);
    EXPECT_TRUE(cont.day_count() == DayCountConvention::act_act_isda());
    const auto stc = RateCurve::flat(rate_of(0.04, K::SimpleThenCompounded, kUs, 2));
    EXPECT_EQ(stc.discount_factor(0.25), 1.0 / (0.25 * 0.04 + 1.0));
    EXPECT_EQ(stc.discount_factor(3.0), 1.0 / std::pow(0.02 + 1.0, 6.0));
}

// Pins a rule of this library: the first node's compounding and convention govern the curve.
TEST(RateCurve, InterpolatedNodesAndExtension) {
    // 12 and 24 months under 30/360 lie at exactly 1 and 2 years.
    const auto c = std::get<RateCurve>(curve(ymd(2024, 1, 15), {months(12), months(24)}, {rate_of(0.02), rate_of(0.03)}));
    EXPECT_EQ(*c.interpolator()->x(), (std::vector<double>{1.0, 2.0}));
    EXPECT_DOUBLE_EQ(c.zero_rate(1.5), 0.025);
    EXPECT_DOUBLE_EQ(c.zero_rate(0.0), 0.01);
    EXPECT_DOUBLE_EQ(c.zero_rate(3.0), 0.04);
    EXPECT_EQ(c.zero_rate(1.0), 0.02);
    EXPECT_DOUBLE_EQ(c.discount_factor(1.5), std::exp(-0.025 * 1.5));
    const RateCurve copy = c;  // node arrays are shared, not copied
    EXPECT_EQ(copy.interpolator()->x().get(), c.interpolator()->x().get());

    // Each node is timed under its own rate's convention; the curve reports the first.
    const auto mixed = std::get<RateCurve>(curve(ymd(2023, 1, 1), {months(12), months(24), months(60)},
        {rate_of(0.02, K::Compounded, DayCountConvention::act365_fixed()), rate_of(0.03, K::Continuous, DayCountConvention::act360()),
         rate_of(0.035)}));
    const auto& x = *mixed.interpolator()->x();
    EXPECT_EQ(x, (std::vector<double>{1.0, 731.0 * 86'400 / 31'104'000.0, 5.0}));
    EXPECT_TRUE(mixed.day_count() == DayCountConvention::act365_fixed());
    EXPECT_EQ(mixed.zero_rate(x[0]), 0.02);
    EXPECT_EQ(mixed.zero_rate(x[1]), 0.03);
    EXPECT_NEAR(mixed.zero_rate(x[2]), 0.035, 1e-16);
    for (double t : {0.5, 1.0, 2.5, 7.0})  // annual compounding from the first node everywhere
        EXPECT_EQ(mixed.discount_factor(t), 1.0 / std::pow(mixed.zero_rate(t) + 1.0, t));
}

// Pins the order of the curve's checks, and their texts.
TEST(RateCurve, ConstructionErrorsInCheckOrder) {
    const struct { std::vector<Tenor> tenors; std::size_t rates; const char* text; } cases[] = {
        {{months(1), months(2)}, 3, "LengthMismatch"},
        {{months(1), months(2)}, 1, "LengthMismatch"},
        {{months(1)}, 1, "Interpolation(InsufficientPoints)"},
        {{}, 0, "Interpolation(InsufficientPoints)"},
        {{months(1), months(1)}, 2, "Interpolation(NotMonotonic)"},
        {{months(6), months(3)}, 2, "Interpolation(NotMonotonic)"},
        {{months(1), {TenorUnit::Days, 29}}, 2, "Interpolation(NotMonotonic)"}};  // both land on 29 Feb
    for (const auto& c : cases) {
        const auto r = curve(ymd(2024, 1, 31), c.tenors, std::vector<InterestRate>(c.rates, rate_of(0.02)));
        ASSERT_TRUE(std::holds_alternative<CurveError>(r)) << c.text;
        EXPECT_EQ(std::get<CurveError>(r).text(), c.text);
    }
    EXPECT_THROW((void)curve(ymd(kMaxYear, 12, 1), {months(0), months(1)}, {rate_of(0.01), rate_of(0.02)}), Panic);
}

}  // namespace
}  // namespace zub
