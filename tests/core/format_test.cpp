// Numbers read from boxes and files, numbers and dates written to the data
// files, and the device clocks' counts.
#include <gtest/gtest.h>

#include <cmath>

#include <clocale>
#include <cstdint>
#include <limits>
#include <string>

#include "core/devtime.h"
#include "core/format.h"
#include "core/numbers.h"

namespace kvr::test {
namespace {

TEST(LeadingNumber, ReadsTheLongestLeadingDecimalNumber) {
    const double max = std::numeric_limits<double>::max();
    const struct {
        const char* text;
        double value;
    } cases[] = {
        {" 3abc", 3}, {"\t 42", 42}, {"", 0},        {"COM3", 0},      {"-4", -4},     {"+4", 4},
        {"- 4", 0},   {".5", 0.5},   {"-.25x", -0.25}, {"2.5e-1", 0.25}, {"1ex", 1},     {"7,5", 7},
        {"1.2.3", 1.2}, {"inf", 0},  {"nan", 0},     {"0x10", 0},      {"1e-400", 0},  {"3.6\r\n", 3.6},
        {"1e999", max}, {"-1e999", -max},
    };
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(leadingNumber(c.text), c.value) << '"' << c.text << '"';
}

TEST(LeadingNumber, IgnoresTheLocaleDecimalSeparator) {
    // A workstation set to a decimal comma must still read "12.5" as 12.5.
    const char* old = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = old ? old : "C";
    const bool switched = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
    const double v = leadingNumber("12.5"), w = leadingNumber("12,5");
    const std::string text = formatNumber(12.5, "0.0");
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_DOUBLE_EQ(v, 12.5) << (switched ? "with" : "without") << " a comma locale";
    EXPECT_DOUBLE_EQ(w, 12.0);
    EXPECT_EQ(text, "12.5");
}

TEST(LeadingInt, HalvesGoToTheEvenNeighbourAndLargeValuesClamp) {
    const struct {
        const char* text;
        std::int32_t value;
    } cases[] = {
        {"3.5", 4}, {"2.5", 2}, {"-2.5", -2}, {"-3.5", -4}, {"2.5001", 3}, {" 3abc", 3}, {"COM3", 0},
        {"1e3", 1000}, {"1e20", std::numeric_limits<std::int32_t>::max()},
        {"-1e20", std::numeric_limits<std::int32_t>::min()},
    };
    for (const auto& c : cases) EXPECT_EQ(leadingInt(c.text), c.value) << '"' << c.text << '"';
    EXPECT_EQ(roundHalfEven(std::numeric_limits<double>::quiet_NaN()), 0);
}

TEST(FormatNumber, PatternsOfTheDataFiles) {
    const struct {
        double value;
        const char* pattern;
        const char* text;
    } cases[] = {
        {123, "#00000", "00123"},   {1234567, "#00000", "1234567"}, {-3, "#####0", "-3"},
        {12345.678, "###0.00", "12345.68"}, {-1.5, "00.0", "-01.5"}, {123.45, "00.0", "123.5"},
        {5, "000.00", "005.00"},    {1234.5, "000.00", "1234.50"},
        // carries into a new digit
        {9.96, "0.0", "10.0"},      {99.95, "00.0", "100.0"},   {2.95, "##0.0", "3.0"},
        // "#" alone: zero and what rounds to zero are empty
        {0, "#", ""},               {0.4, "#", ""},             {0.5, "#", "1"},  {65535, "#####", "65535"},
        // halves away from zero; a negative value that rounds to zero has no sign
        {0.125, "0.00", "0.13"},    {-0.125, "0.00", "-0.13"},  {-2.5, "0", "-3"},
        {-0.04, "00.0", "00.0"},    {-0.4, "#", ""},
        {3.6, ", 0.0", ", 3.6"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(formatNumber(c.value, c.pattern), c.text) << c.value << " with \"" << c.pattern << '"';
}

TEST(FormatFloat, RoundsTheDecimalTextNotTheBinaryValue) {
    // In binary 20.15f is 20.1499996..., 0.35f is 0.3499999...; both read as
    // the decimal text and round up like the person reading them would.
    const struct {
        float value;
        const char* pattern;
        const char* text;
    } cases[] = {
        {20.15f, "00.0", "20.2"},   {0.35f, "0.0", "0.4"},     {2.675f, "###0.00", "2.68"},
        {-127.99609375f, "###0.00", "-128.00"},                {-1.9f, "00.0", "-01.9"},
        {1e20f, "0.0", "100000000000000000000.0"},             {21.5625f, "00.0", "21.6"},
        // The float next to a tie reads as itself, not as the tie.
        {std::nextafter(20.15f, 0.f), "00.0", "20.1"},         {std::nextafter(-0.35f, -1.f), "0.0", "-0.4"},
        {std::nextafter(2.675f, 0.f), "###0.00", "2.67"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(formatFloat(c.value, c.pattern), c.text) << c.value << " with \"" << c.pattern << '"';
}

std::string text(LocalTime t) { return formatDate(t, "yyyy/mm/dd HH:MM:SS"); }

TEST(DeviceTime, CountsFromTheStartOf2000) {
    const struct {
        std::int64_t count;
        bool minutes;
        const char* text;
    } cases[] = {
        {0, false, "2000/01/01 00:00:00"},         {86399, false, "2000/01/01 23:59:59"},
        {1440, true, "2000/01/02 00:00:00"},       {6402994, true, "2012/03/04 12:34:00"},
        {0xFFFFFF, true, "2031/11/24 20:15:00"},   {0x7FFFFFFF, false, "2068/01/19 03:14:07"},
        {-1, false, "1999/12/31 23:59:59"},
    };
    for (const auto& c : cases) {
        const LocalTime t = c.minutes ? fromDeviceMinutes(c.count) : fromDeviceSeconds(c.count);
        EXPECT_EQ(text(t), c.text) << c.count << (c.minutes ? " min" : " s");
        EXPECT_EQ(toDeviceSeconds(t), c.minutes ? c.count * 60 : c.count);
    }
}

TEST(DeviceTime, ServerUnitsAreQuarterMinutesRoundedHalfEven) {
    const struct {
        LocalTime t;
        std::int32_t units;
    } cases[] = {
        {makeLocal(2000, 1, 2), 5760},
        {makeLocal(2000, 1, 1, 0, 0, 7), 0},   // 7/15 of a unit: down
        {makeLocal(2000, 1, 1, 0, 0, 8), 1},   // 8/15: up
        {makeLocal(2000, 1, 1, 0, 0, 23), 2},
        {makeLocal(2012, 3, 4, 12, 34), 6402994 * 4},
        {makeLocal(1999, 12, 31, 23, 59, 45), -1},
    };
    for (const auto& c : cases) EXPECT_EQ(toServerUnits(c.t), c.units) << text(c.t);
}

}  // namespace
}  // namespace kvr::test
