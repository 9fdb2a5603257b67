#include "datetime_conv.hpp"

#include <chrono>
#include <cmath>
#include <utility>

namespace zub::py {

namespace {

constexpr char kInvalidDate[] = "invalid or out-of-range date";

struct DatetimeApi {
    PyObject* date = nullptr;
    PyObject* datetime = nullptr;
    PyObject* utc = nullptr;
};

// Imported on first use; a failed import is retried by the next caller.
const DatetimeApi* api() {
    static DatetimeApi stored;
    if (stored.utc != nullptr) return &stored;
    Ref mod = Ref::steal(PyImport_ImportModule("datetime"));
    Ref date = Ref::steal(mod ? PyObject_GetAttrString(mod.get(), "date") : nullptr);
    Ref datetime = Ref::steal(date ? PyObject_GetAttrString(mod.get(), "datetime") : nullptr);
    Ref tz = Ref::steal(datetime ? PyObject_GetAttrString(mod.get(), "timezone") : nullptr);
    Ref utc = Ref::steal(tz ? PyObject_GetAttrString(tz.get(), "utc") : nullptr);
    if (!utc) return nullptr;
    if (stored.utc == nullptr) {  // else another caller finished first during the import
        stored.date = date.release();
        stored.datetime = datetime.release();
        stored.utc = utc.release();
    }
    return &stored;
}

// True when `o` is an instance of `type`; otherwise false with the cast
// error naming `target` (or the error of the check) set.
bool instance_of(PyObject* o, PyObject* type, const char* name, const char* target) {
    const int r = type != nullptr ? PyObject_IsInstance(o, type) : -1;
    if (r == 0) set_cast_error(o, name, target);
    return r == 1;
}

bool int_attr(PyObject* o, const char* attr, long& out) {
    Ref v = Ref::steal(PyObject_GetAttrString(o, attr));
    if (!v) return false;
    out = PyLong_AsLong(v.get());
    return !(out == -1 && PyErr_Occurred());
}

bool read_ymd(PyObject* o, long& y, long& m, long& d) {
    return int_attr(o, "year", y) && int_attr(o, "month", m) && int_attr(o, "day", d);
}

int64_t saturate_i64(double v) noexcept {
    if (std::isnan(v)) return 0;
    if (v >= 9223372036854775807.0) return INT64_MAX;
    if (v <= -9223372036854775808.0) return INT64_MIN;
    return static_cast<int64_t>(v);
}

uint32_t clamp_nanos(double v) noexcept {
    if (!(v > 0.0)) return 0;
    if (v >= 4294967295.0) return 4294967295u;
    return static_cast<uint32_t>(v);
}

}  // namespace

PyObject* date_type() { return api() ? api()->date : nullptr; }

PyObject* datetime_type() { return api() ? api()->datetime : nullptr; }

PyObject* utc_zone() { return api() ? api()->utc : nullptr; }

bool to_date(PyObject* o, const char* name, zub::Date& out) {
    long y, m, d;
    if (!instance_of(o, date_type(), name, "date") || !read_ymd(o, y, m, d)) return false;
    const auto date = zub::Date::from_ymd(y, m, d);
    if (!date) return fail(PyExc_ValueError, kInvalidDate);
    out = *date;
    return true;
}

PyObject* new_date(zub::Date d) {
    PyObject* type = date_type();
    if (type == nullptr) return nullptr;
    return PyObject_CallFunction(type, "iII", static_cast<int>(d.year()), d.month(), d.day());
}

bool require_datetime(PyObject* o, const char* name) { return instance_of(o, datetime_type(), name, "datetime"); }

void split_timestamp(double t, Rounding rounding, int64_t& secs, uint32_t& nanos) noexcept {
    const bool truncate = rounding == Rounding::Truncate;
    const double s = std::isnan(t) ? 0.0 : truncate ? std::trunc(t) : std::floor(t);
    const double fraction = std::isnan(t) ? 0.0 : (t - s) * 1e9;
    secs = saturate_i64(s);
    nanos = clamp_nanos(truncate ? std::trunc(fraction) : std::round(fraction));
}

namespace {

// The methods called on an aware datetime, and the getters of an exact
// datetime.datetime's tzinfo and seven fields, taken once from the type's
// attribute descriptors: such a datetime's attributes are these
// descriptors, so calling their getters directly gives what attribute
// access gives, without the lookup.
struct Readers {
    PyObject* utcoffset = nullptr;  // interned method names
    PyObject* timestamp = nullptr;
    PyObject* descr[8] = {};  // tzinfo, year, month, day, hour, minute, second, microsecond
    descrgetfunc get[8] = {};
};

const Readers* readers() {
    static Readers stored;
    static bool ready = false;
    if (ready) return &stored;
    static const char* const attrs[8] = {"tzinfo", "year", "month", "day", "hour", "minute", "second", "microsecond"};
    PyObject* type = datetime_type();
    if (type == nullptr) return nullptr;
    Ref names[2] = {Ref::steal(PyUnicode_InternFromString("utcoffset")),
                    Ref::steal(PyUnicode_InternFromString("timestamp"))};
    Ref descr[8];
    Readers r;
    bool ok = names[0] && names[1];
    for (int i = 0; ok && i < 8; ++i) {
        descr[i] = Ref::steal(PyObject_GetAttrString(type, attrs[i]));
        r.get[i] = descr[i] ? reinterpret_cast<descrgetfunc>(PyType_GetSlot(Py_TYPE(descr[i].get()), Py_tp_descr_get))
                            : nullptr;
        if (descr[i] && r.get[i] == nullptr) PyErr_SetString(PyExc_TypeError, "datetime attribute without a getter");
        ok = r.get[i] != nullptr;
    }
    if (!ok) return nullptr;
    r.utcoffset = names[0].release();
    r.timestamp = names[1].release();
    for (int i = 0; i < 8; ++i) r.descr[i] = descr[i].release();
    stored = r;
    ready = true;
    return &stored;
}

// Exactly the float that timestamp() returns for an exact datetime.datetime
// whose tzinfo is datetime.timezone.utc itself, read off its fields: that
// method divides the whole microseconds since 1970 by 10^6, correctly
// rounded, as timestamp_of_micros does.  `done` is false, with no exception
// set, for any other object; utcoffset() of such a datetime is never None.
bool utc_timestamp(PyObject* o, const Readers& r, double& t, bool& done) {
    done = false;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
    if (type != datetime_type()) return true;
    const auto read = [&](int i) { return r.get[i](r.descr[i], o, type); };
    Ref tz = Ref::steal(read(0));
    if (!tz) return false;
    if (tz.get() != utc_zone()) return true;
    long f[7];
    for (int i = 0; i < 7; ++i) {
        Ref v = Ref::steal(read(i + 1));
        if (!v) return false;
        f[i] = PyLong_AsLong(v.get());
        if (f[i] == -1 && PyErr_Occurred()) return false;
    }
    // A datetime's years 1 to 9999 keep the count far inside 64 bits.
    const int64_t days = days_from_civil(f[0], static_cast<unsigned>(f[1]), static_cast<unsigned>(f[2]));
    t = timestamp_of_micros((days * 86'400 + f[3] * 3'600 + f[4] * 60 + f[5]) * 1'000'000 + f[6]);
    done = true;
    return true;
}

// The last datetime each rule converted, and its instant.  A chain of
// calls usually hands the same expiry or valuation time over and over, and
// the conversion is a pure function of such an object when it is an exact
// datetime.datetime whose tzinfo is an exact datetime.timezone: both types
// are immutable and a fixed offset answers utcoffset() the same every time,
// with no Python code of the caller's involved.  Other datetimes (a
// subclass, a zone whose offset may change from one call to the next) are
// converted every time.  The entries are only touched with the interpreter
// lock held; each holds a strong reference, so the remembered object can
// be neither freed nor replaced by another at its address.  The reference
// is never released at exit (no destructor runs after the interpreter is
// gone).
struct LastConversion {
    PyObject* datetime = nullptr;
    zub::Instant instant;
};

LastConversion last_conversion[2];  // indexed by Rounding

// Remembers `o` as the last datetime converted by its rule, when it is one
// whose conversion cannot change.  Reads only the tzinfo of an exact
// datetime.datetime, which runs no Python code.
bool remember(LastConversion& last, PyObject* o, const Readers& r, const zub::Instant& instant) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
    if (type != datetime_type()) return true;
    Ref tz = Ref::steal(r.get[0](r.descr[0], o, type));
    if (!tz) return false;
    if (Py_TYPE(tz.get()) != Py_TYPE(utc_zone())) return true;
    // The previous datetime is released once the new one is in place.
    Ref previous = Ref::steal(std::exchange(last.datetime, Ref::borrow(o).release()));
    last.instant = instant;
    return true;
}

}  // namespace

Aware read_aware(PyObject* o, Rounding rounding, zub::Instant& out) {
    LastConversion& last = last_conversion[rounding == Rounding::Truncate ? 0 : 1];
    if (o == last.datetime) {
        out = last.instant;
        return Aware::Instant;
    }
    const Readers* n = readers();
    if (n == nullptr) return Aware::Failed;
    double t = 0.0;
    bool done = false;
    if (!utc_timestamp(o, *n, t, done)) return Aware::Failed;
    if (!done) {
        Ref off = Ref::steal(PyObject_CallMethodObjArgs(o, n->utcoffset, nullptr));
        if (!off) return Aware::Failed;
        if (off.get() == Py_None) return Aware::Naive;
        Ref ts = Ref::steal(PyObject_CallMethodObjArgs(o, n->timestamp, nullptr));
        if (!ts) return Aware::Failed;
        t = PyFloat_AsDouble(ts.get());
        if (t == -1.0 && PyErr_Occurred()) return Aware::Failed;
    }
    int64_t secs;
    uint32_t nanos;
    split_timestamp(t, rounding, secs, nanos);
    const auto instant = zub::Instant::from_unix(secs, nanos);
    if (!instant) return Aware::Invalid;
    out = *instant;
    return remember(last, o, *n, out) ? Aware::Instant : Aware::Failed;
}

bool aware_instant(PyObject* o, Rounding rounding, const char* naive_msg, const char* invalid_msg,
                   zub::Instant& out) {
    switch (read_aware(o, rounding, out)) {
        case Aware::Instant:
            return true;
        case Aware::Naive:
            return fail(PyExc_ValueError, naive_msg);
        case Aware::Invalid:
            return fail(PyExc_ValueError, invalid_msg);
        case Aware::Failed:
            break;
    }
    return false;
}

bool strict_utc_instant(PyObject* o, const char* name, zub::Instant& out) {
    if (!require_datetime(o, name)) return false;
    Ref tz = Ref::steal(PyObject_GetAttrString(o, "tzinfo"));
    if (!tz) return false;
    if (tz.get() == Py_None) {
        PyErr_SetString(PyExc_TypeError, "expected a datetime with non-None tzinfo");
        return prefix_argument_error(name);
    }
    const int same = PyObject_RichCompareBool(tz.get(), utc_zone(), Py_EQ);
    if (same < 0) return false;
    if (same == 0) return fail(PyExc_ValueError, "expected datetime.timezone.utc");
    long y, mo, d, h, mi, s, us;
    if (!read_ymd(o, y, mo, d) || !int_attr(o, "hour", h) || !int_attr(o, "minute", mi) ||
        !int_attr(o, "second", s) || !int_attr(o, "microsecond", us)) {
        return false;
    }
    const auto date = zub::Date::from_ymd(y, mo, d);
    if (!date) return fail(PyExc_ValueError, kInvalidDate);
    const bool in_day = h >= 0 && h <= 23 && mi >= 0 && mi <= 59 && s >= 0 && s <= 59 && us >= 0 && us <= 999999;
    const auto instant = in_day ? zub::Instant::make(*date, static_cast<uint32_t>(h * 3600 + mi * 60 + s),
                                                     static_cast<uint32_t>(us) * 1000u)
                                : std::nullopt;
    if (!instant) return fail(PyExc_ValueError, "invalid or out-of-range time");
    out = *instant;
    return true;
}

bool to_utc_instant(PyObject* o, zub::Instant& out) {
    PyObject* utc = utc_zone();
    if (utc == nullptr) return false;
    Ref converted = Ref::steal(PyObject_CallMethod(o, "astimezone", "O", utc));
    return converted && strict_utc_instant(converted.get(), nullptr, out);
}

zub::Instant now_instant() {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    int64_t secs = ns / 1000000000;
    int64_t rem = ns % 1000000000;
    if (rem < 0) {
        rem += 1000000000;
        secs -= 1;
    }
    const auto instant = zub::Instant::from_unix(secs, static_cast<uint32_t>(rem));
    if (!instant) throw zub::Panic("system clock outside the supported calendar");
    return *instant;
}

// Up to 2^53 both micros and 10^6 are exact doubles and one division
// rounds once.  Beyond, converting micros would round first, so the
// quotient v, in [2^(E-1), 2^E) with E the bit length of its whole part,
// is taken as m 2^-k with k = 53 - E and m = v 2^k rounded to the nearest
// integer, ties to even, in integer arithmetic.
double timestamp_of_micros(int64_t micros) noexcept {
    constexpr int64_t kExact = int64_t{1} << 53;
    if (micros <= kExact && micros >= -kExact) return static_cast<double>(micros) / 1e6;
    const uint64_t a = micros < 0 ? 0 - static_cast<uint64_t>(micros) : static_cast<uint64_t>(micros);
    const int k = 53 - (64 - __builtin_clzll(a / 1'000'000));
    __extension__ using Wide = unsigned __int128;
    const Wide scaled = static_cast<Wide>(a) << k;
    uint64_t m = static_cast<uint64_t>(scaled / 1'000'000);
    const uint64_t rest = static_cast<uint64_t>(scaled % 1'000'000);
    if (rest > 500'000 || (rest == 500'000 && (m & 1) != 0)) ++m;
    const double v = std::ldexp(static_cast<double>(m), -k);
    return micros < 0 ? -v : v;
}

}  // namespace zub::py
