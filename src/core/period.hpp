// Calendar dates, UTC instants, day-count conventions and tenors.
#pragma once

#include <compare>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace zub {

inline constexpr int32_t kMinYear = -262143;
inline constexpr int32_t kMaxYear = 262142;

// A day of the proleptic Gregorian calendar, stored as days since
// 1970-01-01.  Only dates inside [kMinYear-01-01, kMaxYear-12-31] exist.
class Date {
public:
    constexpr Date() = default;

    // None when the fields do not name a date inside the supported years.
    static std::optional<Date> from_ymd(int64_t year, int64_t month, int64_t day) noexcept;
    // None when the day number falls outside the supported years.
    static std::optional<Date> from_days(int64_t days_since_epoch) noexcept;

    int32_t days_since_epoch() const noexcept { return days_; }
    int32_t year() const noexcept;
    unsigned month() const noexcept;          // 1..12
    unsigned day() const noexcept;            // 1..31
    unsigned day_of_year() const noexcept;    // 1..366
    unsigned weekday() const noexcept;        // 0 = Monday .. 6 = Sunday

    friend constexpr auto operator<=>(Date, Date) = default;

private:
    explicit constexpr Date(int32_t d) : days_(d) {}
    int32_t days_ = 0;
};

bool is_leap_year(int64_t year) noexcept;
unsigned days_in_month(int64_t year, unsigned month) noexcept;
// Days since 1970-01-01 of a civil date; valid for any 64-bit-safe year.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) noexcept;

// A UTC moment.  nanos may reach 1'999'999'999 only inside a leap second,
// which only second 59 of a minute can hold.
struct Instant {
    Date date;
    uint32_t secs = 0;   // second of the day, 0..86399
    uint32_t nanos = 0;

    // None when the fields do not form a valid instant.
    static std::optional<Instant> make(Date d, uint32_t secs, uint32_t nanos) noexcept;
    // From whole seconds since the POSIX epoch and nanoseconds; None outside
    // the supported years or for an invalid nanosecond field.
    static std::optional<Instant> from_unix(int64_t secs, uint32_t nanos) noexcept;

    friend constexpr auto operator<=>(const Instant&, const Instant&) = default;
};

// (b - a) in whole seconds: the exact signed difference, truncated toward zero.
int64_t whole_seconds_between(const Instant& a, const Instant& b) noexcept;

// A set of business days, shared by reference count between conventions.
class BusinessCalendar {
public:
    virtual ~BusinessCalendar() = default;
    virtual std::string_view name() const noexcept = 0;
    virtual std::string debug_text() const = 0;
    virtual bool is_business_day(Date d) const noexcept = 0;
};

// Saturdays and Sundays are holidays; every other day is a business day.
std::shared_ptr<const BusinessCalendar> weekends_only_calendar();

enum class DayCountCode : uint8_t {
    Act360 = 0,
    Act365Fixed = 1,
    ActAct = 2,
    Thirty360 = 3,
    Business252 = 4,
};

enum class Thirty360Kind : uint8_t { UsIsda = 0, EurobondIsma = 1, GermanIsda = 2 };

class DayCountConvention {
public:
    static DayCountConvention act360() noexcept { return DayCountConvention(DayCountCode::Act360, 0); }
    static DayCountConvention act365_fixed() noexcept { return DayCountConvention(DayCountCode::Act365Fixed, 0); }
    static DayCountConvention act_act_isda() noexcept { return DayCountConvention(DayCountCode::ActAct, 0); }
    static DayCountConvention thirty360(Thirty360Kind k) noexcept {
        return DayCountConvention(DayCountCode::Thirty360, static_cast<uint8_t>(k));
    }
    static DayCountConvention business252(std::shared_ptr<const BusinessCalendar> cal) noexcept {
        DayCountConvention c(DayCountCode::Business252, 0);
        c.calendar_ = std::move(cal);
        return c;
    }

    DayCountCode code() const noexcept { return code_; }
    Thirty360Kind thirty360_kind() const noexcept { return static_cast<Thirty360Kind>(kind_); }
    const BusinessCalendar* calendar() const noexcept { return calendar_.get(); }

    // "Actual360", "Actual365Fixed", "ActualActual(ISDA)", "Thirty360(GermanIsda)",
    // "Business252(<calendar debug text>)".
    std::string debug_text() const;

    friend bool operator==(const DayCountConvention& a, const DayCountConvention& b) noexcept;

private:
    DayCountConvention(DayCountCode c, uint8_t k) noexcept : code_(c), kind_(k) {}
    DayCountCode code_;
    uint8_t kind_;
    std::shared_ptr<const BusinessCalendar> calendar_;
};

// Years from start to end under the convention; negative when end < start.
// Throws Panic only when Actual/Actual or Business/252 would leave the
// supported years.
double year_fraction(const Instant& start, const Instant& end, const DayCountConvention& dcc);

// Days from start to end under the convention, without swapping.
int64_t day_count(Date start, Date end, const DayCountConvention& dcc);

// Actual/365 Fixed between two instants: whole seconds / 31'536'000.
double act365_years(const Instant& start, const Instant& end) noexcept;

enum class TenorUnit : uint8_t { Days = 0, Weeks = 1, Months = 2, Years = 3 };

struct Tenor {
    TenorUnit unit;
    int32_t count;
};

// d advanced by the tenor, with month-end clamping for months and years.
// Throws Panic "`NaiveDate + Months` out of range" (negative month/year
// count, or a result outside the supported years) or
// "`NaiveDate + TimeDelta` overflowed" (day/week result out of range).
Date advance(const Tenor& t, Date d);

}  // namespace zub
