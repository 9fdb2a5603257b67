// Dates and datetimes entering and leaving the module.
#pragma once

#include "boundary.hpp"
#include "core/period.hpp"
#include "timestamps.hpp"

namespace zub::py {

// The stored datetime types (imported once per process).  Return nullptr
// with an exception set when the import failed.
PyObject* date_type();
PyObject* datetime_type();
PyObject* utc_zone();

// Date conversion: any datetime.date (a datetime counts; its date fields are
// used as written).  Cast error naming "date"; impossible fields give
// ValueError "invalid or out-of-range date".
bool to_date(PyObject* o, const char* name, zub::Date& out);

// New datetime.date made by calling datetime.date(year, month, day).
PyObject* new_date(zub::Date d);

// First half of the aware conversions: the argument must be a
// datetime.datetime (cast error naming "datetime" otherwise).
bool require_datetime(PyObject* o, const char* name);

// Second half, run after every argument of the call is converted: calls
// utcoffset() (None -> ValueError naive_msg) and timestamp(), splits the
// POSIX time by the rounding rule and forms the instant (out of range ->
// ValueError invalid_msg).  Errors of the called methods pass through.
// An exact datetime.datetime in datetime.timezone.utc is read off its
// fields instead, giving the very float timestamp() would.  Each rounding
// rule remembers the last exact datetime.datetime in a fixed-offset
// datetime.timezone that it converted, and answers it again without the
// calls.
bool aware_instant(PyObject* o, Rounding rounding, const char* naive_msg, const char* invalid_msg,
                   zub::Instant& out);

// The same telling the two refusals apart without raising: a naive
// datetime, an instant outside the calendar (no exception set), or Failed
// with the exception of a called method set.
enum class Aware { Instant, Naive, Invalid, Failed };
Aware read_aware(PyObject* o, Rounding rounding, zub::Instant& out);

// Strict UTC conversion: a datetime whose tzinfo compares equal to
// datetime.timezone.utc, read field by field.  `name` is the argument
// name for prefixed TypeErrors, or nullptr for none.
bool strict_utc_instant(PyObject* o, const char* name, zub::Instant& out);

// o.astimezone(datetime.timezone.utc), then the strict UTC conversion.
bool to_utc_instant(PyObject* o, zub::Instant& out);

// The system clock, nanosecond resolution, as a UTC instant.
zub::Instant now_instant();

}  // namespace zub::py
