// Number formatting used in messages and representations.
#pragma once

#include <string>

namespace zub {

// Shortest decimal that reads back to the same double, written positionally
// (never with an exponent), integral values without a fractional part:
// 12.0 -> "12", 0.5 -> "0.5", 1e-7 -> "0.0000001", NaN -> "NaN",
// infinities -> "inf" / "-inf".
std::string format_shortest(double v);

// Fixed notation with exactly four decimals: 10.45058 -> "10.4506",
// 3.0 -> "3.0000"; NaN -> "NaN", infinities -> "inf" / "-inf".
std::string format_fixed4(double v);

}  // namespace zub
