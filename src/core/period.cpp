#include "core/period.hpp"

#include "core/error.hpp"

#include <algorithm>

namespace zub {

namespace {

constexpr int64_t kSecondsPerDay = 86'400;
constexpr int64_t kNanosPerSecond = 1'000'000'000;

// Floor division and the matching non-negative remainder.
constexpr int64_t floor_div(int64_t a, int64_t b) noexcept {
    const int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

struct Civil {
    int64_t year;
    unsigned month;
    unsigned day;
};

// Inverse of days_from_civil on the 400-year (146'097-day) cycle of eras
// starting 0000-03-01, so that leap days fall at the end of an era year.
constexpr Civil civil_from_days(int64_t z) noexcept {
    z += 719'468;
    const int64_t era = floor_div(z, 146'097);
    const int64_t doe = z - era * 146'097;                                    // [0, 146096]
    const int64_t yoe = (doe - doe / 1'460 + doe / 36'524 - doe / 146'096) / 365;  // [0, 399]
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);             // [0, 365]
    const int64_t mp = (5 * doy + 2) / 153;                                  // [0, 11], March = 0
    const unsigned day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    const unsigned month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    return {year, month, day};
}

constexpr int64_t days_from_civil_impl(int64_t y, unsigned m, unsigned d) noexcept {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = floor_div(y, 400);
    const int64_t yoe = y - era * 400;                                              // [0, 399]
    const int64_t mp = m > 2 ? int64_t{m} - 3 : int64_t{m} + 9;                     // March = 0
    const int64_t doy = (153 * mp + 2) / 5 + int64_t{d} - 1;                        // [0, 365]
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;                      // [0, 146096]
    return era * 146'097 + doe - 719'468;
}

constexpr int64_t kMinDays = days_from_civil_impl(kMinYear, 1, 1);
constexpr int64_t kMaxDays = days_from_civil_impl(kMaxYear, 12, 31);
static_assert(kMinDays >= INT32_MIN && kMaxDays <= INT32_MAX, "supported dates must fit 32 bits");
static_assert(days_from_civil_impl(1970, 1, 1) == 0);
static_assert(days_from_civil_impl(2000, 3, 1) == 11'017);

Date date_or_panic(std::optional<Date> d, const char* message) {
    if (!d) throw Panic(message);
    return *d;
}

constexpr const char* kOutOfCalendar = "date arithmetic left the supported calendar years";

}  // namespace

// ---------------------------------------------------------------- civil days

bool is_leap_year(int64_t year) noexcept {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

unsigned days_in_month(int64_t year, unsigned month) noexcept {
    static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    return month == 2 && is_leap_year(year) ? 29 : kDays[month - 1];
}

int64_t days_from_civil(int64_t y, unsigned m, unsigned d) noexcept { return days_from_civil_impl(y, m, d); }

// ---------------------------------------------------------------- Date

std::optional<Date> Date::from_ymd(int64_t year, int64_t month, int64_t day) noexcept {
    if (year < kMinYear || year > kMaxYear || month < 1 || month > 12 || day < 1) return std::nullopt;
    if (day > days_in_month(year, static_cast<unsigned>(month))) return std::nullopt;
    return Date(static_cast<int32_t>(days_from_civil_impl(year, static_cast<unsigned>(month), static_cast<unsigned>(day))));
}

std::optional<Date> Date::from_days(int64_t days_since_epoch) noexcept {
    if (days_since_epoch < kMinDays || days_since_epoch > kMaxDays) return std::nullopt;
    return Date(static_cast<int32_t>(days_since_epoch));
}

int32_t Date::year() const noexcept { return static_cast<int32_t>(civil_from_days(days_).year); }
unsigned Date::month() const noexcept { return civil_from_days(days_).month; }
unsigned Date::day() const noexcept { return civil_from_days(days_).day; }

unsigned Date::day_of_year() const noexcept {
    const int64_t y = civil_from_days(days_).year;
    return static_cast<unsigned>(days_ - days_from_civil_impl(y, 1, 1) + 1);
}

unsigned Date::weekday() const noexcept {
    // 1970-01-01 was a Thursday (3 with Monday = 0).
    return static_cast<unsigned>(((int64_t{days_} % 7) + 7 + 3) % 7);
}

// ---------------------------------------------------------------- Instant

std::optional<Instant> Instant::make(Date d, uint32_t secs, uint32_t nanos) noexcept {
    if (secs >= kSecondsPerDay || nanos >= 2 * kNanosPerSecond) return std::nullopt;
    if (nanos >= kNanosPerSecond && secs % 60 != 59) return std::nullopt;
    return Instant{d, secs, nanos};
}

std::optional<Instant> Instant::from_unix(int64_t secs, uint32_t nanos) noexcept {
    const int64_t days = floor_div(secs, kSecondsPerDay);
    const auto date = Date::from_days(days);
    if (!date) return std::nullopt;
    return make(*date, static_cast<uint32_t>(secs - days * kSecondsPerDay), nanos);
}

int64_t whole_seconds_between(const Instant& a, const Instant& b) noexcept {
    // Seconds and nanoseconds are kept apart: the full span in nanoseconds
    // would not fit 64 bits across the supported years.
    int64_t secs = (int64_t{b.date.days_since_epoch()} - a.date.days_since_epoch()) * kSecondsPerDay +
                   (int64_t{b.secs} - int64_t{a.secs});
    int64_t nanos = int64_t{b.nanos} - int64_t{a.nanos};  // |nanos| < 2e9
    secs += nanos / kNanosPerSecond;
    nanos %= kNanosPerSecond;  // now |nanos| < 1e9, sign may differ from secs
    if (secs > 0 && nanos < 0) return secs - 1;
    if (secs < 0 && nanos > 0) return secs + 1;
    return secs;
}

// ---------------------------------------------------------------- calendars

namespace {

class WeekendsOnly final : public BusinessCalendar {
public:
    std::string_view name() const noexcept override { return "WeekendsOnly"; }
    std::string debug_text() const override { return "WeekendsOnly"; }
    bool is_business_day(Date d) const noexcept override { return d.weekday() < 5; }
};

}  // namespace

std::shared_ptr<const BusinessCalendar> weekends_only_calendar() {
    static const std::shared_ptr<const BusinessCalendar> calendar = std::make_shared<const WeekendsOnly>();
    return calendar;
}

// ---------------------------------------------------------------- conventions

std::string DayCountConvention::debug_text() const {
    switch (code_) {
        case DayCountCode::Act360: return "Actual360";
        case DayCountCode::Act365Fixed: return "Actual365Fixed";
        case DayCountCode::ActAct: return "ActualActual(ISDA)";
        case DayCountCode::Thirty360:
            switch (thirty360_kind()) {
                case Thirty360Kind::UsIsda: return "Thirty360(UnitedStatesIsda)";
                case Thirty360Kind::EurobondIsma: return "Thirty360(EurobondIsma)";
                case Thirty360Kind::GermanIsda: return "Thirty360(GermanIsda)";
            }
            break;
        case DayCountCode::Business252:
            return "Business252(" + (calendar_ ? calendar_->debug_text() : std::string("None")) + ")";
    }
    return "DayCountConvention";
}

bool operator==(const DayCountConvention& a, const DayCountConvention& b) noexcept {
    if (a.code_ != b.code_) return false;
    switch (a.code_) {
        case DayCountCode::Thirty360: return a.kind_ == b.kind_;
        case DayCountCode::Business252:
            if (!a.calendar_ || !b.calendar_) return a.calendar_ == b.calendar_;
            return a.calendar_->name() == b.calendar_->name();
        default: return true;
    }
}

namespace {

int64_t thirty360_days(Date start, Date end, Thirty360Kind kind) noexcept {
    const Civil s = civil_from_days(start.days_since_epoch());
    const Civil e = civil_from_days(end.days_since_epoch());
    int64_t d1 = s.day, d2 = e.day;
    switch (kind) {
        case Thirty360Kind::UsIsda:
            if (d1 == 31) d1 = 30;
            if (d2 == 31 && d1 == 30) d2 = 30;
            break;
        case Thirty360Kind::EurobondIsma:
            if (d1 == 31) d1 = 30;
            if (d2 == 31) d2 = 30;
            break;
        case Thirty360Kind::GermanIsda:
            if (d1 == 31 || (s.month == 2 && d1 == days_in_month(s.year, 2))) d1 = 30;
            if (d2 == 31 || (e.month == 2 && d2 == days_in_month(e.year, 2))) d2 = 30;
            break;
    }
    return 360 * (e.year - s.year) + 30 * (int64_t{e.month} - int64_t{s.month}) + (d2 - d1);
}

// Business days d with start <= d < end; 0 unless start < end.
int64_t business_days(Date start, Date end, const BusinessCalendar* calendar) {
    if (calendar == nullptr) throw Panic("Business/252 convention without a business-day calendar");
    int64_t count = 0;
    for (Date d = start; d < end; d = date_or_panic(Date::from_days(int64_t{d.days_since_epoch()} + 1), kOutOfCalendar)) {
        if (calendar->is_business_day(d)) ++count;
    }
    return count;
}

// Actual/Actual ISDA for start < end: whole calendar years are split at
// each 1 January; the start's time of day is dropped, the end's is kept.
double act_act_isda(const Instant& start, const Instant& end) {
    const int64_t end_year = civil_from_days(end.date.days_since_epoch()).year;
    int64_t year = civil_from_days(start.date.days_since_epoch()).year;
    int64_t day = start.date.days_since_epoch();
    double sum = 0.0;
    while (year < end_year) {
        const int64_t next_new_year = days_from_civil_impl(year + 1, 1, 1);
        sum += static_cast<double>(next_new_year - day) / (is_leap_year(year) ? 366.0 : 365.0);
        day = date_or_panic(Date::from_days(next_new_year), kOutOfCalendar).days_since_epoch();
        ++year;
    }
    const Instant midnight{date_or_panic(Date::from_days(day), kOutOfCalendar), 0, 0};
    const double seconds_in_year = is_leap_year(year) ? 31'622'400.0 : 31'536'000.0;
    return sum + static_cast<double>(whole_seconds_between(midnight, end)) / seconds_in_year;
}

double ordered_year_fraction(const Instant& start, const Instant& end, const DayCountConvention& dcc) {
    switch (dcc.code()) {
        case DayCountCode::Act360: return static_cast<double>(whole_seconds_between(start, end)) / 31'104'000.0;
        case DayCountCode::Act365Fixed: return static_cast<double>(whole_seconds_between(start, end)) / 31'536'000.0;
        case DayCountCode::ActAct: return act_act_isda(start, end);
        case DayCountCode::Thirty360:
            return static_cast<double>(thirty360_days(start.date, end.date, dcc.thirty360_kind())) / 360.0;
        case DayCountCode::Business252:
            return static_cast<double>(business_days(start.date, end.date, dcc.calendar())) / 252.0;
    }
    throw Panic("unknown day-count convention");
}

}  // namespace

double year_fraction(const Instant& start, const Instant& end, const DayCountConvention& dcc) {
    if (start == end) return 0.0;
    if (start > end) return -ordered_year_fraction(end, start, dcc);
    return ordered_year_fraction(start, end, dcc);
}

int64_t day_count(Date start, Date end, const DayCountConvention& dcc) {
    switch (dcc.code()) {
        case DayCountCode::Act360:
        case DayCountCode::Act365Fixed:
        case DayCountCode::ActAct: return int64_t{end.days_since_epoch()} - start.days_since_epoch();
        case DayCountCode::Thirty360: return thirty360_days(start, end, dcc.thirty360_kind());
        case DayCountCode::Business252: return business_days(start, end, dcc.calendar());
    }
    throw Panic("unknown day-count convention");
}

double act365_years(const Instant& start, const Instant& end) noexcept {
    if (start == end) return 0.0;
    if (start > end) return -(static_cast<double>(whole_seconds_between(end, start)) / 31'536'000.0);
    return static_cast<double>(whole_seconds_between(start, end)) / 31'536'000.0;
}

// ---------------------------------------------------------------- tenors

Date advance(const Tenor& t, Date d) {
    // Fixed texts that callers match word for word; the type names in them
    // are part of the text, not types of this code.
    constexpr const char* kMonthsOutOfRange = "`NaiveDate + Months` out of range";
    constexpr const char* kDaysOverflow = "`NaiveDate + TimeDelta` overflowed";
    const int64_t n = t.count;
    switch (t.unit) {
        case TenorUnit::Days:
        case TenorUnit::Weeks: {
            const int64_t step = t.unit == TenorUnit::Weeks ? 7 * n : n;
            return date_or_panic(Date::from_days(int64_t{d.days_since_epoch()} + step), kDaysOverflow);
        }
        case TenorUnit::Months:
        case TenorUnit::Years: {
            const int64_t months = t.unit == TenorUnit::Years ? 12 * n : n;
            if (months < 0) throw Panic(kMonthsOutOfRange);
            if (months == 0) return d;
            const Civil c = civil_from_days(d.days_since_epoch());
            const int64_t index = 12 * c.year + (c.month - 1) + months;
            const int64_t year = floor_div(index, 12);
            const unsigned month = static_cast<unsigned>(index - 12 * year + 1);
            const int64_t day = std::min<int64_t>(c.day, days_in_month(year, month));
            return date_or_panic(Date::from_ymd(year, month, day), kMonthsOutOfRange);
        }
    }
    throw Panic("unknown tenor unit");
}

}  // namespace zub
