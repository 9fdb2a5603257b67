#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/period.hpp"
#include "calendar_helpers.hpp"

namespace zub {
namespace {

const DayCountConvention kAllConventions[] = {
    DayCountConvention::act360(),
    DayCountConvention::act365_fixed(),
    DayCountConvention::act_act_isda(),
    DayCountConvention::thirty360(Thirty360Kind::UsIsda),
    DayCountConvention::thirty360(Thirty360Kind::EurobondIsma),
    DayCountConvention::thirty360(Thirty360Kind::GermanIsda),
    DayCountConvention::business252(weekends_only_calendar()),
};

// ---------------------------------------------------------------- dates

TEST(Date, KnownDayNumbersAndFields) {
    EXPECT_EQ(ymd(1970, 1, 1).days_since_epoch(), 0);
    EXPECT_EQ(ymd(2000, 3, 1).days_since_epoch(), 11'017);
    EXPECT_EQ(ymd(0, 3, 1).days_since_epoch(), -719'468);
    EXPECT_EQ(ymd(1969, 12, 31).days_since_epoch(), -1);
    const Date d = ymd(2024, 12, 31);
    EXPECT_EQ(d.year(), 2024);
    EXPECT_EQ(d.month(), 12u);
    EXPECT_EQ(d.day(), 31u);
    EXPECT_EQ(d.day_of_year(), 366u);
    EXPECT_EQ(ymd(2024, 3, 1).weekday(), 4u);   // Friday
    EXPECT_EQ(ymd(1969, 12, 29).weekday(), 0u); // Monday, before the epoch
    EXPECT_EQ(ymd(0, 12, 31).day_of_year(), 366u);
    EXPECT_EQ(ymd(-1, 12, 31).day_of_year(), 365u);
}

TEST(Date, SupportedRangeIsExactlyTheDocumentedYears) {
    const auto first = Date::from_ymd(kMinYear, 1, 1);
    const auto last = Date::from_ymd(kMaxYear, 12, 31);
    ASSERT_TRUE(first && last);
    EXPECT_EQ(first->year(), kMinYear);
    EXPECT_EQ(last->year(), kMaxYear);
    EXPECT_EQ(last->month(), 12u);
    EXPECT_EQ(last->day(), 31u);
    EXPECT_FALSE(Date::from_ymd(kMinYear - 1, 12, 31));
    EXPECT_FALSE(Date::from_ymd(kMaxYear + 1, 1, 1));
    EXPECT_FALSE(Date::from_days(int64_t{first->days_since_epoch()} - 1));
    EXPECT_FALSE(Date::from_days(int64_t{last->days_since_epoch()} + 1));
    EXPECT_TRUE(Date::from_days(first->days_since_epoch()));
}

TEST(Date, RejectsImpossibleFields) {
    EXPECT_FALSE(Date::from_ymd(2023, 2, 29));
    EXPECT_FALSE(Date::from_ymd(1900, 2, 29));
    EXPECT_TRUE(Date::from_ymd(2000, 2, 29));
    EXPECT_FALSE(Date::from_ymd(2024, 13, 1));
    EXPECT_FALSE(Date::from_ymd(2024, 0, 1));
    EXPECT_FALSE(Date::from_ymd(2024, 4, 31));
    EXPECT_FALSE(Date::from_ymd(2024, 1, 0));
}

// Walks consecutive days and checks that the fields advance by the
// calendar's own rules, then that each day number converts back.
void walk_days(int64_t from, int64_t count) {
    Date prev = *Date::from_days(from);
    for (int64_t k = 1; k < count; ++k) {
        const Date d = *Date::from_days(from + k);
        const bool new_month = prev.day() == days_in_month(prev.year(), prev.month());
        if (!new_month) {
            ASSERT_EQ(d.day(), prev.day() + 1) << from + k;
            ASSERT_EQ(d.month(), prev.month());
            ASSERT_EQ(d.year(), prev.year());
        } else {
            ASSERT_EQ(d.day(), 1u) << from + k;
            ASSERT_EQ(d.month(), prev.month() == 12 ? 1u : prev.month() + 1);
            ASSERT_EQ(d.year(), prev.month() == 12 ? prev.year() + 1 : prev.year());
        }
        ASSERT_EQ(days_from_civil(d.year(), d.month(), d.day()), from + k);
        ASSERT_EQ(d.day_of_year(), prev.month() == 12 && new_month ? 1u : prev.day_of_year() + 1);
        ASSERT_EQ(d.weekday(), (prev.weekday() + 1) % 7);
        prev = d;
    }
}

TEST(Date, ConsecutiveDaysNearTheEpochAndBothEnds) {
    const int64_t first = ymd(kMinYear, 1, 1).days_since_epoch();
    const int64_t last = ymd(kMaxYear, 12, 31).days_since_epoch();
    walk_days(first, 800 * 366);
    walk_days(ymd(-1200, 1, 1).days_since_epoch(), 3300 * 366);
    walk_days(last - 800 * 366, 800 * 366 + 1);
}

TEST(Date, RoundTripOverTheWholeRange) {
    const int64_t first = ymd(kMinYear, 1, 1).days_since_epoch();
    const int64_t last = ymd(kMaxYear, 12, 31).days_since_epoch();
    for (int64_t z = first; z <= last; z += 997) {
        const Date d = *Date::from_days(z);
        const auto back = Date::from_ymd(d.year(), d.month(), d.day());
        ASSERT_TRUE(back) << z;
        ASSERT_EQ(back->days_since_epoch(), z);
    }
}

// ---------------------------------------------------------------- instants

TEST(Instant, Validity) {
    const Date d = ymd(2024, 6, 30);
    EXPECT_TRUE(Instant::make(d, 86'399, 999'999'999));
    EXPECT_FALSE(Instant::make(d, 86'400, 0));
    EXPECT_TRUE(Instant::make(d, 59, 1'999'999'999));     // leap second at :59
    EXPECT_TRUE(Instant::make(d, 86'399, 1'000'000'000));
    EXPECT_FALSE(Instant::make(d, 58, 1'000'000'000));
    EXPECT_FALSE(Instant::make(d, 59, 2'000'000'000));
}

TEST(Instant, FromUnix) {
    const auto a = Instant::from_unix(-1, 5);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->date, ymd(1969, 12, 31));
    EXPECT_EQ(a->secs, 86'399u);
    EXPECT_EQ(a->nanos, 5u);
    const auto b = Instant::from_unix(1'704'067'200 + 3'600, 0);  // 2024-01-01T01:00Z
    ASSERT_TRUE(b);
    EXPECT_EQ(*b, at(2024, 1, 1, 3'600));
    const int64_t last_day = ymd(kMaxYear, 12, 31).days_since_epoch();
    EXPECT_TRUE(Instant::from_unix(last_day * 86'400 + 86'399, 0));
    EXPECT_FALSE(Instant::from_unix((last_day + 1) * 86'400, 0));
    EXPECT_FALSE(Instant::from_unix(0, 1'000'000'000));  // not at second 59
}

TEST(Instant, OrderedFieldByField) {
    EXPECT_LT(at(2024, 1, 1, 86'399), at(2024, 1, 2));
    EXPECT_LT(at(2024, 1, 1, 5, 1), at(2024, 1, 1, 6, 0));
    EXPECT_LT(at(2024, 1, 1, 59, 999'999'999), at(2024, 1, 1, 59, 1'000'000'000));
}

struct SecondsCase {
    Instant a, b;
    int64_t expected;
    friend std::ostream& operator<<(std::ostream& os, const SecondsCase& c) { return os << c.a << " -> " << c.b; }
};

class WholeSeconds : public ::testing::TestWithParam<SecondsCase> {};

TEST_P(WholeSeconds, ExactDifferenceTruncatedTowardZero) {
    const auto& c = GetParam();
    EXPECT_EQ(whole_seconds_between(c.a, c.b), c.expected);
    EXPECT_EQ(whole_seconds_between(c.b, c.a), -c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WholeSeconds,
    ::testing::Values(SecondsCase{at(2024, 1, 1), at(2024, 1, 2), 86'400},
                      SecondsCase{at(2024, 1, 1, 10, 900'000'000), at(2024, 1, 1, 12, 100'000'000), 1},
                      SecondsCase{at(2024, 1, 1, 10, 100'000'000), at(2024, 1, 1, 12, 900'000'000), 2},
                      SecondsCase{at(2024, 1, 1, 10, 500'000'000), at(2024, 1, 1, 10, 900'000'000), 0},
                      SecondsCase{at(2024, 1, 1, 59, 1'500'000'000), at(2024, 1, 1, 60, 0), 0},
                      SecondsCase{at(2024, 1, 1, 59, 1'000'000'000), at(2024, 1, 1, 61, 0), 1},
                      SecondsCase{at(2023, 12, 31, 86'399, 999'999'999), at(2024, 1, 1, 0, 0), 0},
                      SecondsCase{at(kMinYear, 1, 1), at(kMaxYear, 12, 31, 86'399, 999'999'999),
                                  (days_from_civil(kMaxYear, 12, 31) - days_from_civil(kMinYear, 1, 1)) * 86'400 +
                                      86'399}));

// ---------------------------------------------------------------- year fractions

struct FractionCase {
    Instant start, end;
    DayCountConvention dcc;
    double expected;
    friend std::ostream& operator<<(std::ostream& os, const FractionCase& c) {
        return os << c.start << " -> " << c.end << ' ' << c.dcc;
    }
};

class YearFraction : public ::testing::TestWithParam<FractionCase> {};

TEST_P(YearFraction, MatchesWorkedValueAndNegatesWhenSwapped) {
    const auto& c = GetParam();
    const double forward = year_fraction(c.start, c.end, c.dcc);
    EXPECT_EQ(forward, c.expected) << c.dcc.debug_text();
    EXPECT_EQ(year_fraction(c.end, c.start, c.dcc), -forward);
}

const auto kBusiness = DayCountConvention::business252(weekends_only_calendar());

INSTANTIATE_TEST_SUITE_P(
    Cases, YearFraction,
    ::testing::Values(
        FractionCase{at(2024, 1, 1), at(2025, 1, 1), DayCountConvention::act365_fixed(), 1.0027397260273974},
        FractionCase{at(2024, 1, 1), at(2025, 1, 1), DayCountConvention::act360(), 366.0 / 360.0},
        FractionCase{at(2023, 7, 1), at(2024, 7, 1), DayCountConvention::act_act_isda(), 184.0 / 365.0 + 182.0 / 366.0},
        FractionCase{at(2024, 3, 1, 43'200), at(2024, 3, 2, 43'200), DayCountConvention::act_act_isda(),
                     129'600.0 / 31'622'400.0},
        FractionCase{at(2024, 3, 1, 43'200), at(2024, 3, 2, 43'200), DayCountConvention::act365_fixed(),
                     86'400.0 / 31'536'000.0},
        // The start's time of day is dropped before the first year end too.
        FractionCase{at(2023, 12, 31, 43'200), at(2024, 1, 1, 43'200), DayCountConvention::act_act_isda(),
                     1.0 / 365.0 + 43'200.0 / 31'622'400.0},
        FractionCase{at(2020, 2, 1), at(2023, 3, 1), DayCountConvention::act_act_isda(),
                     335.0 / 366.0 + 365.0 / 365.0 + 365.0 / 365.0 + 59.0 / 365.0},
        FractionCase{at(kMaxYear - 1, 7, 1), at(kMaxYear, 12, 31, 86'399), DayCountConvention::act_act_isda(),
                     184.0 / 365.0 + (364.0 * 86'400.0 + 86'399.0) / 31'536'000.0},
        FractionCase{at(2024, 1, 1, 82'800), at(2024, 1, 2, 3'600), DayCountConvention::thirty360(Thirty360Kind::UsIsda),
                     1.0 / 360.0},
        FractionCase{at(2024, 1, 31), at(2024, 3, 31), DayCountConvention::thirty360(Thirty360Kind::GermanIsda),
                     60.0 / 360.0},
        // Mon 2024-03-04 12:00 to Mon 2024-03-18 01:00: ten business days.
        FractionCase{at(2024, 3, 4, 43'200), at(2024, 3, 18, 3'600), kBusiness, 10.0 / 252.0},
        // Sat to Sun: no business day in between.
        FractionCase{at(2024, 3, 9), at(2024, 3, 10), kBusiness, 0.0}));

TEST(YearFraction, EqualInstantsGiveZeroForEveryConvention) {
    const Instant t = at(2024, 5, 17, 1'234, 56);
    for (const auto& dcc : kAllConventions) {
        const double yf = year_fraction(t, t, dcc);
        EXPECT_EQ(yf, 0.0);
        EXPECT_FALSE(std::signbit(yf)) << dcc.debug_text();
    }
}

TEST(YearFraction, ActualActualOverTheWholeRange) {
    // 524'285 calendar years: each whole year contributes exactly 1.
    const double yf = year_fraction(at(kMinYear, 1, 1), at(kMaxYear, 12, 31), DayCountConvention::act_act_isda());
    EXPECT_NEAR(yf, double(kMaxYear) - double(kMinYear) + 364.0 / 365.0, 1e-6);
}

TEST(YearFraction, Act365YearsAgreesWithTheConvention) {
    const Instant a = at(2024, 1, 1, 0, 700'000'000);
    const Instant b = at(2024, 7, 1, 10, 100'000'000);
    const Instant c = at(2024, 1, 1, 0, 800'000'000);
    for (const auto& [x, y] : {std::pair{a, b}, std::pair{b, a}, std::pair{a, c}, std::pair{c, a}, std::pair{a, a}}) {
        const double expected = year_fraction(x, y, DayCountConvention::act365_fixed());
        EXPECT_EQ(act365_years(x, y), expected);
        EXPECT_EQ(std::signbit(act365_years(x, y)), std::signbit(expected));
    }
}

// ---------------------------------------------------------------- day counts

struct DayCountCase {
    Date start, end;
    int64_t us, eurobond, german;
    friend std::ostream& operator<<(std::ostream& os, const DayCountCase& c) { return os << c.start << " -> " << c.end; }
};

class Thirty360Count : public ::testing::TestWithParam<DayCountCase> {};

TEST_P(Thirty360Count, EachKindAdjustsItsOwnWay) {
    const auto& c = GetParam();
    EXPECT_EQ(day_count(c.start, c.end, DayCountConvention::thirty360(Thirty360Kind::UsIsda)), c.us);
    EXPECT_EQ(day_count(c.start, c.end, DayCountConvention::thirty360(Thirty360Kind::EurobondIsma)), c.eurobond);
    EXPECT_EQ(day_count(c.start, c.end, DayCountConvention::thirty360(Thirty360Kind::GermanIsda)), c.german);
}

INSTANTIATE_TEST_SUITE_P(Cases, Thirty360Count,
                         ::testing::Values(DayCountCase{ymd(2024, 1, 31), ymd(2024, 3, 31), 60, 60, 60},
                                           DayCountCase{ymd(2024, 2, 29), ymd(2024, 3, 31), 32, 31, 30},
                                           DayCountCase{ymd(2023, 2, 28), ymd(2023, 3, 31), 33, 32, 30},
                                           DayCountCase{ymd(2024, 2, 28), ymd(2024, 3, 31), 33, 32, 32},
                                           DayCountCase{ymd(2024, 3, 1), ymd(2024, 2, 29), -2, -2, -1},
                                           DayCountCase{ymd(2024, 3, 30), ymd(2024, 3, 31), 0, 0, 0},
                                           DayCountCase{ymd(2024, 3, 15), ymd(2024, 3, 31), 16, 15, 15},
                                           DayCountCase{ymd(2023, 12, 15), ymd(2025, 1, 15), 390, 390, 390}));

TEST(DayCount, ActualConventionsCountSignedDays) {
    for (const auto& dcc : {DayCountConvention::act360(), DayCountConvention::act365_fixed(),
                            DayCountConvention::act_act_isda()}) {
        EXPECT_EQ(day_count(ymd(2024, 3, 10), ymd(2024, 3, 1), dcc), -9);
        EXPECT_EQ(day_count(ymd(2024, 3, 1), ymd(2024, 2, 1), dcc), -29);
        EXPECT_EQ(day_count(ymd(2024, 1, 31), ymd(2024, 3, 31), dcc), 60);
    }
}

TEST(DayCount, BusinessDaysExcludeTheEndAndIgnoreReversedSpans) {
    EXPECT_EQ(day_count(ymd(2024, 3, 4), ymd(2024, 3, 11), kBusiness), 5);   // Mon..Mon
    EXPECT_EQ(day_count(ymd(2024, 3, 4), ymd(2024, 3, 8), kBusiness), 4);    // Fri excluded
    EXPECT_EQ(day_count(ymd(2024, 3, 9), ymd(2024, 3, 12), kBusiness), 1);   // Sat..Tue
    EXPECT_EQ(day_count(ymd(2024, 3, 11), ymd(2024, 3, 4), kBusiness), 0);
    EXPECT_EQ(day_count(ymd(2024, 3, 4), ymd(2024, 3, 4), kBusiness), 0);
    EXPECT_EQ(day_count(ymd(kMaxYear, 12, 1), ymd(kMaxYear, 12, 31), kBusiness), 20);  // same weekdays as 2142
}

// ---------------------------------------------------------------- conventions

TEST(DayCountConvention, DebugTexts) {
    const std::vector<std::string> expected = {
        "Actual360",
        "Actual365Fixed",
        "ActualActual(ISDA)",
        "Thirty360(UnitedStatesIsda)",
        "Thirty360(EurobondIsma)",
        "Thirty360(GermanIsda)",
        "Business252(WeekendsOnly)",
    };
    for (std::size_t k = 0; k < expected.size(); ++k) EXPECT_EQ(kAllConventions[k].debug_text(), expected[k]);
}

class OtherCalendar final : public BusinessCalendar {
public:
    explicit OtherCalendar(std::string name) : name_(std::move(name)) {}
    std::string_view name() const noexcept override { return name_; }
    std::string debug_text() const override { return name_; }
    bool is_business_day(Date) const noexcept override { return true; }

private:
    std::string name_;
};

TEST(DayCountConvention, Equality) {
    for (std::size_t i = 0; i < std::size(kAllConventions); ++i)
        for (std::size_t j = 0; j < std::size(kAllConventions); ++j)
            EXPECT_EQ(kAllConventions[i] == kAllConventions[j], i == j) << i << " " << j;
    // Business/252 compares calendars by name, not by identity.
    const auto same_name = DayCountConvention::business252(std::make_shared<OtherCalendar>("WeekendsOnly"));
    const auto other_name = DayCountConvention::business252(std::make_shared<OtherCalendar>("Target"));
    EXPECT_TRUE(same_name == kBusiness);
    EXPECT_FALSE(other_name == kBusiness);
}

// ---------------------------------------------------------------- tenors

struct AdvanceCase {
    Tenor tenor;
    Date from, expected;
    friend std::ostream& operator<<(std::ostream& os, const AdvanceCase& c) { return os << c.from << " + " << c.tenor; }
};

class Advance : public ::testing::TestWithParam<AdvanceCase> {};

TEST_P(Advance, ClampsToMonthEnd) {
    const auto& c = GetParam();
    EXPECT_EQ(advance(c.tenor, c.from), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Advance,
    ::testing::Values(AdvanceCase{{TenorUnit::Months, 1}, ymd(2024, 1, 31), ymd(2024, 2, 29)},
                      AdvanceCase{{TenorUnit::Months, 1}, ymd(2023, 1, 31), ymd(2023, 2, 28)},
                      AdvanceCase{{TenorUnit::Years, 1}, ymd(2024, 2, 29), ymd(2025, 2, 28)},
                      AdvanceCase{{TenorUnit::Months, 12}, ymd(2024, 2, 29), ymd(2025, 2, 28)},
                      AdvanceCase{{TenorUnit::Years, 4}, ymd(2024, 2, 29), ymd(2028, 2, 29)},
                      AdvanceCase{{TenorUnit::Months, 0}, ymd(2024, 5, 31), ymd(2024, 5, 31)},
                      AdvanceCase{{TenorUnit::Months, 13}, ymd(-1, 11, 30), ymd(0, 12, 30)},
                      AdvanceCase{{TenorUnit::Months, 3}, ymd(-5, 11, 30), ymd(-4, 2, 29)},
                      AdvanceCase{{TenorUnit::Days, -1}, ymd(2024, 3, 1), ymd(2024, 2, 29)},
                      AdvanceCase{{TenorUnit::Weeks, 2}, ymd(2024, 12, 25), ymd(2025, 1, 8)},
                      AdvanceCase{{TenorUnit::Weeks, -1}, ymd(kMinYear, 1, 8), ymd(kMinYear, 1, 1)},
                      AdvanceCase{{TenorUnit::Months, 1}, ymd(kMaxYear, 11, 30), ymd(kMaxYear, 12, 30)}));

void expect_panic(const Tenor& t, Date d, const std::string& message) {
    try {
        advance(t, d);
        ADD_FAILURE() << "no panic";
    } catch (const Panic& p) {
        EXPECT_EQ(std::string(p.what()), message);
    }
}

TEST(Advance, FailuresOutsideTheCalendar) {
    const std::string months = "`NaiveDate + Months` out of range";
    const std::string days = "`NaiveDate + TimeDelta` overflowed";
    expect_panic({TenorUnit::Months, -1}, ymd(2024, 1, 1), months);
    expect_panic({TenorUnit::Years, -1}, ymd(2024, 1, 1), months);
    expect_panic({TenorUnit::Months, 1}, ymd(kMaxYear, 12, 1), months);
    expect_panic({TenorUnit::Years, INT32_MAX}, ymd(2024, 1, 1), months);
    expect_panic({TenorUnit::Days, 1}, ymd(kMaxYear, 12, 31), days);
    expect_panic({TenorUnit::Days, -1}, ymd(kMinYear, 1, 1), days);
    expect_panic({TenorUnit::Weeks, INT32_MIN}, ymd(2024, 1, 1), days);
}

}  // namespace
}  // namespace zub
