// POSIX times as datetime gives them, split into an instant's fields: pure
// arithmetic and the messages of times that are no instant, shared by the datetime conversions and the array module's
// workers, which read datetime64 ticks without the interpreter.
#pragma once

#include <cstdint>

namespace zub::py {

enum class Rounding { Truncate, Floor };

// The aware conversions' messages: an instant outside the calendar, a naive
// expiry, a naive valuation time.
inline constexpr char kInvalidTimestamp[] = "Invalid timestamp";
inline constexpr char kExpiryNaive[] = "Expiry must have a timezone specified (e.g. New York or UTC)";
inline constexpr char kValuationTimeNaive[] = "Evaluation time must have a timezone specified (e.g. New York or UTC)";

// Pure split of a POSIX time into whole seconds and nanoseconds.
void split_timestamp(double t, Rounding rounding, int64_t& secs, uint32_t& nanos) noexcept;

// The POSIX time `micros` microseconds from the epoch, as datetime's
// timestamp() gives it: micros / 10^6 rounded once to the nearest double.
double timestamp_of_micros(int64_t micros) noexcept;

}  // namespace zub::py
