#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "core/number_text.hpp"

namespace zub {
namespace {

struct TextCase {
    double value;
    const char* text;
    friend std::ostream& operator<<(std::ostream& os, const TextCase& c) { return os << std::string(c.text).substr(0, 24); }
};

class Shortest : public ::testing::TestWithParam<TextCase> {};

TEST_P(Shortest, PositionalRoundTripDigits) {
    const auto& c = GetParam();
    const std::string s = format_shortest(c.value);
    EXPECT_EQ(s, c.text);
    if (std::isfinite(c.value)) {
        double back = 0.0;
        std::from_chars(s.data(), s.data() + s.size(), back);
        EXPECT_EQ(back, c.value);
    }
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Cases, Shortest,
    ::testing::Values(TextCase{12.0, "12"}, TextCase{0.5, "0.5"}, TextCase{1e-7, "0.0000001"},
                      TextCase{1e22, "10000000000000000000000"}, TextCase{0.0, "0"}, TextCase{-0.0, "-0"},
                      TextCase{-2.5, "-2.5"}, TextCase{0.1 + 0.2, "0.30000000000000004"},
                      TextCase{123.456, "123.456"}, TextCase{-0.001234, "-0.001234"},
                      TextCase{1.5e17, "150000000000000000"},
                      TextCase{kNaN, "NaN"}, TextCase{-kNaN, "NaN"}, TextCase{kInf, "inf"},
                      TextCase{-kInf, "-inf"}));

TEST(Shortest, ExtremeMagnitudesAreWrittenInFull) {
    EXPECT_EQ(format_shortest(5e-324), "0." + std::string(323, '0') + "5");
    EXPECT_EQ(format_shortest(std::numeric_limits<double>::max()), "17976931348623157" + std::string(292, '0'));
    EXPECT_EQ(format_shortest(-std::numeric_limits<double>::max()), "-17976931348623157" + std::string(292, '0'));
}

TEST(Fixed4, ExactlyFourDecimals) {
    EXPECT_EQ(format_fixed4(10.45058), "10.4506");
    EXPECT_EQ(format_fixed4(3.0), "3.0000");
    EXPECT_EQ(format_fixed4(-0.00001), "-0.0000");
    EXPECT_EQ(format_fixed4(0.00005), "0.0001");  // 0.00005 is stored slightly above the half
    EXPECT_EQ(format_fixed4(0.12345), "0.1235");  // ... and 0.12345 slightly above too
    EXPECT_EQ(format_fixed4(2.00005), "2.0000");  // while this one is stored below
    EXPECT_EQ(format_fixed4(1e20), "100000000000000000000.0000");
    EXPECT_EQ(format_fixed4(kNaN), "NaN");
    EXPECT_EQ(format_fixed4(-kNaN), "NaN");
    EXPECT_EQ(format_fixed4(kInf), "inf");
    EXPECT_EQ(format_fixed4(-kInf), "-inf");
    EXPECT_EQ(format_fixed4(std::numeric_limits<double>::max()).size(), 309u + 5u);
}

}  // namespace
}  // namespace zub
