#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

#include "core/devtime.h"
#include "core/format.h"
#include "core/numbers.h"

namespace kvr {
namespace {

struct PatternCase {
    double value;
    const char* pattern;
    const char* text;
};

TEST(FormatNumber, Patterns) {
    const PatternCase cases[] = {
        // probe numbers
        {7, "#00000", "00007"},
        {123, "#00000", "00123"},
        {123, "00000", "00123"},
        {1234567, "#00000", "1234567"},
        {7, "#####0", "7"},
        {0, "#####0", "0"},
        {-3, "#####0", "-3"},
        // depth values, unit temperature
        {21.5, "###0.00", "21.50"},
        {0.5, "###0.00", "0.50"},
        {0, "###0.00", "0.00"},
        {-1.5, "###0.00", "-1.50"},
        {12345.678, "###0.00", "12345.68"},
        {7.26, "00.0", "07.3"},
        {-1.5, "00.0", "-01.5"},
        {123.45, "00.0", "123.5"},
        {0.04, "00.0", "00.0"},
        {5, "000.00", "005.00"},
        {25.5, "000.00", "025.50"},
        {1234.5, "000.00", "1234.50"},
        // voltages
        {3.66, "###0.0", "3.7"},
        {3.66, "0.0", "3.7"},
        {999, "###0.0", "999.0"},
        {0.04, "0.0", "0.0"},
        {2.95, "##0.0", "3.0"},
        {9.96, "0.0", "10.0"},
        {99.95, "00.0", "100.0"},
        // "#" only: zero is empty, small values round to empty too
        {0, "#", ""},
        {0.4, "#", ""},
        {0.5, "#", "1"},
        {1, "#", "1"},
        {0, "#####", ""},
        {12, "#####", "12"},
        {65535, "#####", "65535"},
        {123456, "#####", "123456"},
        // halves go away from zero
        {0.125, "0.00", "0.13"},
        {-0.125, "0.00", "-0.13"},
        {2.5, "0", "3"},
        {-2.5, "0", "-3"},
        // a negative value that rounds to zero has no sign
        {-0.04, "00.0", "00.0"},
        {-0.4, "#", ""},
        // literal text around the digits
        {3.6, ", 0.0", ", 3.6"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(formatNumber(c.value, c.pattern), c.text) << c.value << " with \"" << c.pattern << '"';
}

struct FloatCase {
    float value;
    const char* pattern;
    const char* text;
};

TEST(FormatFloat, RoundsTheDecimalTextNotTheBinaryValue) {
    // In binary 20.15f is 20.1499996..., 0.35f is 0.3499999...; both read as
    // the decimal text and round up like the person reading them would.
    const FloatCase cases[] = {
        {20.15f, "00.0", "20.2"},    {0.35f, "0.0", "0.4"},       {2.675f, "###0.00", "2.68"},
        {18.5f, "###0.00", "18.50"}, {25.5f, "000.00", "025.50"}, {3.6f, "0.0", "3.6"},
        {3.6f, "###0.0", "3.6"},     {2.9f, "##0.0", "2.9"},      {-127.99609375f, "###0.00", "-128.00"},
        {128.0f, "###0.00", "128.00"}, {0.6f, "00.0", "00.6"},    {-1.9f, "00.0", "-01.9"},
        {999.0f, "###0.0", "999.0"}, {1e20f, "0.0", "100000000000000000000.0"},
        {21.5625f, "###0.00", "21.56"}, {21.5625f, "00.0", "21.6"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(formatFloat(c.value, c.pattern), c.text) << c.value << " with \"" << c.pattern << '"';
}

TEST(FormatFloat, WrittenValuesReadBackWithinHalfAStep) {
    // Random values through every decimal pattern and back: catches a lost
    // carry (9.96 -> "9.10"), a dropped sign or a misplaced point.
    std::mt19937 rng(12345);
    std::uniform_real_distribution<float> dist(-2000.0f, 2000.0f);
    const struct {
        const char* pattern;
        double step;
    } patterns[] = {{"###0.00", 0.01}, {"00.0", 0.1}, {"000.00", 0.01}, {"0.0", 0.1}, {"##0.0", 0.1}, {"#####0", 1}};
    for (int i = 0; i < 4000; ++i) {
        float v = dist(rng);
        if (i % 4 == 0) v = std::round(v * 100.0f) / 100.0f;  // many exact halves and carries
        for (const auto& p : patterns) {
            std::string text = formatFloat(v, p.pattern);
            double back = leadingNumber(text);
            ASSERT_LE(std::fabs(back - v), p.step / 2 + 1e-4) << v << " \"" << p.pattern << "\" -> " << text;
            ASSERT_EQ(text.find_first_not_of("-0123456789."), std::string::npos) << text;
        }
    }
}

TEST(NumberField, SpaceOrSignThenDigitsThenSpace) {
    EXPECT_EQ(numberField(345), " 345 ");
    EXPECT_EQ(numberField(0), " 0 ");
    EXPECT_EQ(numberField(-5), "-5 ");
    EXPECT_EQ(numberField(65535), " 65535 ");
}

TEST(FormatDate, Patterns) {
    LocalTime t = makeLocal(2012, 3, 4, 12, 34, 5);
    struct {
        const char* pattern;
        const char* text;
    } cases[] = {
        {"yyyy/mm/dd", "2012/03/04"},
        {"HH:MM:SS", "12:34:05"},
        {"yyyy/mm/dd HH:MM:SS", "2012/03/04 12:34:05"},
        {"dd/mm/yyyy HH:MM", "04/03/2012 12:34"},
        {"dd/mm/yyyy", "04/03/2012"},
    };
    for (const auto& c : cases) EXPECT_EQ(formatDate(t, c.pattern), c.text) << c.pattern;
    EXPECT_EQ(formatDate(makeLocal(2031, 12, 31, 23, 59, 59), "yyyy/mm/dd HH:MM:SS"), "2031/12/31 23:59:59");
    EXPECT_EQ(formatDate(makeLocal(2000, 1, 1), "yyyy/mm/dd HH:MM:SS"), "2000/01/01 00:00:00");
}

}  // namespace
}  // namespace kvr
