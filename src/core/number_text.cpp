#include "core/number_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace zub {

namespace {

// NaN (of either sign) and the infinities; nullptr for finite values.
const char* non_finite_text(double v) noexcept {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    return nullptr;
}

}  // namespace

std::string format_shortest(double v) {
    if (const char* text = non_finite_text(v)) return text;

    // Shortest round-trip digits in scientific form: [-]d[.ddd]e±XX.
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    const std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
    const std::size_t e_pos = sci.find('e');
    const bool negative = sci.front() == '-';
    std::string digits;
    for (char c : sci.substr(negative ? 1 : 0, e_pos - (negative ? 1 : 0)))
        if (c != '.') digits.push_back(c);
    const int exponent = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());

    // Digits before the decimal point when written positionally.
    const long point = static_cast<long>(exponent) + 1;
    const long n = static_cast<long>(digits.size());
    std::string out = negative ? "-" : "";
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= n) {
        out += digits;
        out.append(static_cast<std::size_t>(point - n), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out += '.';
        out.append(digits, static_cast<std::size_t>(point));
    }
    return out;
}

std::string format_fixed4(double v) {
    if (const char* text = non_finite_text(v)) return text;
    char buf[400];  // DBL_MAX has 309 integral digits
    const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 4);
    return std::string(buf, res.ptr);
}

}  // namespace zub
