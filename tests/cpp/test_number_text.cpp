#include <gtest/gtest.h>

#include <charconv>
#include <limits>
#include <string>

#include "core/number_text.hpp"

namespace zub {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMax = std::numeric_limits<double>::max();

// Pins the shortest positional text, with its spellings of NaN and infinity.
TEST(NumberText, ShortestPositional) {
    const struct { double v; std::string text; } cases[] = {
        {12.0, "12"}, {0.5, "0.5"}, {1e-7, "0.0000001"}, {1e22, "10000000000000000000000"}, {0.0, "0"},
        {-0.0, "-0"}, {-2.5, "-2.5"}, {0.1 + 0.2, "0.30000000000000004"}, {-0.001234, "-0.001234"},
        {1.5e17, "150000000000000000"}, {5e-324, "0." + std::string(323, '0') + "5"},
        {-kMax, "-17976931348623157" + std::string(292, '0')},
        {kNaN, "NaN"}, {-kNaN, "NaN"}, {kInf, "inf"}, {-kInf, "-inf"}};
    for (const auto& c : cases) {
        const std::string s = format_shortest(c.v);
        EXPECT_EQ(s, c.text);
        double back = kNaN;
        std::from_chars(s.data(), s.data() + s.size(), back);
        if (c.v == c.v) {
            EXPECT_EQ(back, c.v) << s;
        }
    }
}

// Pins the four-decimal text: rounded from the exact binary value.
TEST(NumberText, FourDecimals) {
    // 0.00005 and 0.12345 are stored just above the half, 2.00005 just below.
    const struct { double v; const char* text; } cases[] = {
        {10.45058, "10.4506"}, {3.0, "3.0000"}, {-0.00001, "-0.0000"}, {0.00005, "0.0001"}, {0.12345, "0.1235"},
        {2.00005, "2.0000"}, {1e20, "100000000000000000000.0000"}, {kNaN, "NaN"}, {-kNaN, "NaN"},
        {kInf, "inf"}, {-kInf, "-inf"}};
    for (const auto& c : cases) EXPECT_EQ(format_fixed4(c.v), c.text);
    // Fixed notation writes the exact binary value, not the shortest digits.
    const std::string max = format_fixed4(kMax);
    EXPECT_EQ(max.size(), 309u + 5u);
    EXPECT_EQ(max.substr(0, 20), "17976931348623157081");
    EXPECT_EQ(max.substr(309), ".0000");
}

}  // namespace
}  // namespace zub
