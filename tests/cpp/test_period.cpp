#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "calendar_helpers.hpp"
#include "core/error.hpp"

namespace zub {
namespace {

const auto kBus = DayCountConvention::business252(weekends_only_calendar());
const auto kUs = DayCountConvention::thirty360(Thirty360Kind::UsIsda);
const auto kEuro = DayCountConvention::thirty360(Thirty360Kind::EurobondIsma);
const auto kGerman = DayCountConvention::thirty360(Thirty360Kind::GermanIsda);
const auto kAct360 = DayCountConvention::act360();
const auto kAct365 = DayCountConvention::act365_fixed();
const auto kActAct = DayCountConvention::act_act_isda();
const DayCountConvention kAll[] = {kAct360, kAct365, kActAct, kUs, kEuro, kGerman, kBus};
const int64_t kFirstDay = days_from_civil(kMinYear, 1, 1);
const int64_t kLastDay = days_from_civil(kMaxYear, 12, 31);

TEST(Date, FieldsAndSupportedRange) {
    EXPECT_EQ(ymd(1970, 1, 1).days_since_epoch(), 0);
    EXPECT_EQ(ymd(2000, 3, 1).days_since_epoch(), 11'017);
    EXPECT_EQ(ymd(2024, 3, 1).weekday(), 4u);    // Friday
    EXPECT_EQ(ymd(1969, 12, 29).weekday(), 0u);  // Monday
    EXPECT_EQ(ymd(0, 12, 31).day_of_year(), 366u);
    EXPECT_EQ(ymd(-1, 12, 31).day_of_year(), 365u);
    const struct { int64_t y, m, d; bool ok; } cases[] = {
        {kMinYear, 1, 1, true}, {kMaxYear, 12, 31, true}, {kMinYear - 1, 12, 31, false}, {kMaxYear + 1, 1, 1, false},
        {2000, 2, 29, true},    {1900, 2, 29, false},     {2023, 2, 29, false},          {2024, 4, 31, false},
        {2024, 13, 1, false},   {2024, 0, 1, false},      {2024, 1, 0, false}};
    for (const auto& c : cases) EXPECT_EQ(Date::from_ymd(c.y, c.m, c.d).has_value(), c.ok) << c.y << "-" << c.m << "-" << c.d;
    EXPECT_FALSE(Date::from_days(kFirstDay - 1));
    EXPECT_FALSE(Date::from_days(kLastDay + 1));
    EXPECT_EQ(Date::from_days(kLastDay)->year(), kMaxYear);
}

// Consecutive days must advance the fields by the calendar's own rules.
TEST(Date, ConsecutiveDaysNearTheEpochAndBothEnds) {
    for (int64_t from : {kFirstDay, days_from_civil(-1200, 1, 1), kLastDay - 300'000}) {
        Date prev = *Date::from_days(from);
        for (int64_t z = from + 1; z <= std::min(from + 1'200'000, kLastDay); ++z) {
            const Date d = *Date::from_days(z);
            const bool month_end = prev.day() == days_in_month(prev.year(), prev.month());
            const bool year_end = month_end && prev.month() == 12;
            ASSERT_EQ(d.day(), month_end ? 1u : prev.day() + 1) << z;
            ASSERT_EQ(d.month(), year_end ? 1u : month_end ? prev.month() + 1 : prev.month()) << z;
            ASSERT_EQ(d.year(), year_end ? prev.year() + 1 : prev.year()) << z;
            ASSERT_EQ(d.day_of_year(), year_end ? 1u : prev.day_of_year() + 1) << z;
            ASSERT_EQ(d.weekday(), (prev.weekday() + 1) % 7) << z;
            ASSERT_EQ(days_from_civil(d.year(), d.month(), d.day()), z);
            prev = d;
        }
    }
    for (int64_t z = kFirstDay; z <= kLastDay; z += 997) {
        const Date d = *Date::from_days(z);
        ASSERT_EQ(Date::from_ymd(d.year(), d.month(), d.day())->days_since_epoch(), z);
    }
}

TEST(Instant, ValidityAndUnixSeconds) {
    const Date d = ymd(2024, 6, 30);
    EXPECT_TRUE(Instant::make(d, 86'399, 999'999'999));
    EXPECT_TRUE(Instant::make(d, 59, 1'999'999'999));  // leap second
    EXPECT_FALSE(Instant::make(d, 86'400, 0));
    EXPECT_FALSE(Instant::make(d, 58, 1'000'000'000));
    EXPECT_FALSE(Instant::make(d, 59, 2'000'000'000));
    EXPECT_EQ(*Instant::from_unix(-1, 5), at(1969, 12, 31, 86'399, 5));
    EXPECT_EQ(*Instant::from_unix(1'704'070'800, 0), at(2024, 1, 1, 3'600));
    EXPECT_TRUE(Instant::from_unix(kLastDay * 86'400 + 86'399, 0));
    EXPECT_FALSE(Instant::from_unix((kLastDay + 1) * 86'400, 0));
    EXPECT_FALSE(Instant::from_unix(0, 1'000'000'000));
    EXPECT_LT(at(2024, 1, 1, 59, 999'999'999), at(2024, 1, 1, 59, 1'000'000'000));
}

// Pins the rounding of whole seconds: truncation toward zero.
TEST(Instant, WholeSecondsTruncateTowardZero) {
    const struct { Instant a, b; int64_t secs; } cases[] = {
        {at(2024, 1, 1), at(2024, 1, 2), 86'400},
        {at(2024, 1, 1, 10, 900'000'000), at(2024, 1, 1, 12, 100'000'000), 1},
        {at(2024, 1, 1, 10, 100'000'000), at(2024, 1, 1, 12, 900'000'000), 2},
        {at(2024, 1, 1, 59, 1'500'000'000), at(2024, 1, 1, 60), 0},
        {at(2024, 1, 1, 59, 1'000'000'000), at(2024, 1, 1, 61), 1},
        {at(2023, 12, 31, 86'399, 999'999'999), at(2024, 1, 1), 0},
        {at(kMinYear, 1, 1), at(kMaxYear, 12, 31, 86'399, 999'999'999), (kLastDay - kFirstDay) * 86'400 + 86'399}};
    for (const auto& c : cases) {
        EXPECT_EQ(whole_seconds_between(c.a, c.b), c.secs);
        EXPECT_EQ(whole_seconds_between(c.b, c.a), -c.secs);
    }
}

TEST(YearFraction, WorkedValuesAndAntisymmetry) {
    const struct { Instant s, e; DayCountConvention dcc; double yf; } cases[] = {
        {at(2024, 1, 1), at(2025, 1, 1), kAct365, 1.0027397260273974},
        {at(2024, 1, 1), at(2025, 1, 1), kAct360, 366.0 / 360.0},
        {at(2023, 7, 1), at(2024, 7, 1), kActAct, 184.0 / 365.0 + 182.0 / 366.0},
        {at(2024, 3, 1, 43'200), at(2024, 3, 2, 43'200), kActAct, 129'600.0 / 31'622'400.0},
        {at(2024, 3, 1, 43'200), at(2024, 3, 2, 43'200), kAct365, 86'400.0 / 31'536'000.0},
        {at(2023, 12, 31, 43'200), at(2024, 1, 1, 43'200), kActAct, 1.0 / 365.0 + 43'200.0 / 31'622'400.0},
        {at(2020, 2, 1), at(2023, 3, 1), kActAct, 335.0 / 366.0 + 1.0 + 1.0 + 59.0 / 365.0},
        {at(kMaxYear - 1, 7, 1), at(kMaxYear, 12, 31, 86'399), kActAct, 184.0 / 365.0 + 31'535'999.0 / 31'536'000.0},
        {at(2024, 1, 1, 82'800), at(2024, 1, 2, 3'600), kUs, 1.0 / 360.0},
        {at(2024, 3, 4, 43'200), at(2024, 3, 18, 3'600), kBus, 10.0 / 252.0},  // Mon to Mon
        {at(2024, 3, 9), at(2024, 3, 10), kBus, 0.0}};                          // Sat to Sun
    for (const auto& c : cases) {
        EXPECT_EQ(year_fraction(c.s, c.e, c.dcc), c.yf) << c.dcc.debug_text();
        EXPECT_EQ(year_fraction(c.e, c.s, c.dcc), -c.yf) << c.dcc.debug_text();
    }
    for (const auto& dcc : kAll) EXPECT_FALSE(std::signbit(year_fraction(at(2024, 5, 17, 9, 9), at(2024, 5, 17, 9, 9), dcc)));
    // Every whole year contributes exactly 1 across the full range.
    EXPECT_NEAR(year_fraction(at(kMinYear, 1, 1), at(kMaxYear, 12, 31), kActAct), kMaxYear - kMinYear + 364.0 / 365.0, 1e-6);
    const Instant a = at(2024, 1, 1, 0, 700'000'000), b = at(2024, 1, 1, 0, 800'000'000), c = at(2024, 7, 1, 10);
    for (const auto& [x, y] : {std::pair{a, b}, std::pair{b, a}, std::pair{a, c}, std::pair{c, a}}) {
        EXPECT_EQ(std::signbit(act365_years(x, y)), std::signbit(year_fraction(x, y, kAct365)));
        EXPECT_EQ(act365_years(x, y), year_fraction(x, y, kAct365));
    }
}

TEST(DayCount, AllConventions) {
    const struct { Date s, e; int64_t actual, us, euro, german, business; } cases[] = {
        {ymd(2024, 1, 31), ymd(2024, 3, 31), 60, 60, 60, 60, 43},
        {ymd(2024, 2, 29), ymd(2024, 3, 31), 31, 32, 31, 30, 22},
        {ymd(2023, 2, 28), ymd(2023, 3, 31), 31, 33, 32, 30, 23},
        {ymd(2024, 2, 28), ymd(2024, 3, 31), 32, 33, 32, 32, 23},
        {ymd(2024, 3, 15), ymd(2024, 3, 31), 16, 16, 15, 15, 11},
        {ymd(2024, 3, 10), ymd(2024, 3, 1), -9, -9, -9, -9, 0},
        {ymd(2024, 3, 1), ymd(2024, 2, 29), -1, -2, -2, -1, 0},
        {ymd(2024, 3, 4), ymd(2024, 3, 8), 4, 4, 4, 4, 4},  // the end date is not counted
        {ymd(kMaxYear, 12, 1), ymd(kMaxYear, 12, 31), 30, 30, 29, 29, 20}};
    for (const auto& c : cases) {
        for (const auto& dcc : {kAct360, kAct365, kActAct}) EXPECT_EQ(day_count(c.s, c.e, dcc), c.actual);
        EXPECT_EQ(day_count(c.s, c.e, kUs), c.us);
        EXPECT_EQ(day_count(c.s, c.e, kEuro), c.euro);
        EXPECT_EQ(day_count(c.s, c.e, kGerman), c.german);
        EXPECT_EQ(day_count(c.s, c.e, kBus), c.business);
    }
}

struct NamedCalendar final : BusinessCalendar {
    explicit NamedCalendar(std::string n) : n_(std::move(n)) {}
    std::string_view name() const noexcept override { return n_; }
    std::string debug_text() const override { return n_; }
    bool is_business_day(Date) const noexcept override { return true; }
    std::string n_;
};

// Pins the conventions' debug texts and their equality.
TEST(DayCountConvention, DebugTextAndEquality) {
    const char* texts[] = {"Actual360",           "Actual365Fixed",        "ActualActual(ISDA)",       "Thirty360(UnitedStatesIsda)",
                           "Thirty360(EurobondIsma)", "Thirty360(GermanIsda)", "Business252(WeekendsOnly)"};
    for (std::size_t i = 0; i < std::size(kAll); ++i) {
        EXPECT_EQ(kAll[i].debug_text(), texts[i]);
        for (std::size_t j = 0; j < std::size(kAll); ++j) EXPECT_EQ(kAll[i] == kAll[j], i == j) << i << "," << j;
    }
    EXPECT_TRUE(DayCountConvention::business252(std::make_shared<NamedCalendar>("WeekendsOnly")) == kBus);
    EXPECT_FALSE(DayCountConvention::business252(std::make_shared<NamedCalendar>("Target")) == kBus);
}

// Pins month-end clamping and the exact failure messages.
TEST(Advance, MonthEndClampingAndFailures) {
    const struct { TenorUnit u; int32_t n; Date from, to; } cases[] = {
        {TenorUnit::Months, 1, ymd(2024, 1, 31), ymd(2024, 2, 29)},  {TenorUnit::Months, 1, ymd(2023, 1, 31), ymd(2023, 2, 28)},
        {TenorUnit::Years, 1, ymd(2024, 2, 29), ymd(2025, 2, 28)},   {TenorUnit::Months, 12, ymd(2024, 2, 29), ymd(2025, 2, 28)},
        {TenorUnit::Months, 0, ymd(2024, 5, 31), ymd(2024, 5, 31)},  {TenorUnit::Months, 3, ymd(-5, 11, 30), ymd(-4, 2, 29)},
        {TenorUnit::Days, -1, ymd(2024, 3, 1), ymd(2024, 2, 29)},    {TenorUnit::Weeks, 2, ymd(2024, 12, 25), ymd(2025, 1, 8)}};
    for (const auto& c : cases) EXPECT_EQ(advance({c.u, c.n}, c.from), c.to) << c.from.days_since_epoch() << " + " << c.n;

    const std::string months = "`NaiveDate + Months` out of range", days = "`NaiveDate + TimeDelta` overflowed";
    const struct { TenorUnit u; int32_t n; Date from; const std::string& msg; } failures[] = {
        {TenorUnit::Years, -1, ymd(2024, 1, 1), months},   {TenorUnit::Months, 1, ymd(kMaxYear, 12, 1), months},
        {TenorUnit::Days, 1, ymd(kMaxYear, 12, 31), days}, {TenorUnit::Weeks, -1, ymd(kMinYear, 1, 6), days}};
    for (const auto& f : failures) {
        try {
            advance({f.u, f.n}, f.from);
            ADD_FAILURE() << "no failure for " << f.n;
        } catch (const Panic& p) {
            EXPECT_EQ(p.what(), f.msg);
        }
    }
}

}  // namespace
}  // namespace zub
