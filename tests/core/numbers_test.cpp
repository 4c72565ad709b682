#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <limits>
#include <string>

#include "core/numbers.h"

namespace kvr {
namespace {

struct NumberCase {
    const char* text;
    double value;
};

TEST(LeadingNumber, ReadsTheLongestLeadingDecimalNumber) {
    const NumberCase cases[] = {
        {"3", 3},          {"3 ", 3},         {"3abc", 3},      {" 3abc", 3},     {"\t 42", 42},
        {"", 0},           {"COM3", 0},       {"abc", 0},       {"   ", 0},       {"-4", -4},
        {"+4", 4},         {"- 4", 0},        {"+-4", 0},       {"12.5", 12.5},   {".5", 0.5},
        {"5.", 5},         {".", 0},          {"-.25x", -0.25}, {"1e3", 1000},    {"1E3", 1000},
        {"1e+3", 1000},    {"2.5e-1", 0.25},  {"1e", 1},        {"1e+", 1},       {"1ex", 1},
        {"7,5", 7},        {"1.2.3", 1.2},    {"inf", 0},       {"nan", 0},       {"0x10", 0},
        {"00012", 12},     {"1e-400", 0},     {"-0", 0},        {"3.6\r\n", 3.6}, {"56000,n,8,1", 56000},
    };
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(leadingNumber(c.text), c.value) << '"' << c.text << '"';
}

TEST(LeadingNumber, HugeExponentSaturatesInsteadOfFailing) {
    EXPECT_EQ(leadingNumber("1e999"), std::numeric_limits<double>::max());
    EXPECT_EQ(leadingNumber("-1e999"), -std::numeric_limits<double>::max());
}

TEST(LeadingNumber, IgnoresTheLocaleDecimalSeparator) {
    // A workstation set to a decimal comma must still read "12.5" as 12.5.
    const char* old = std::setlocale(LC_NUMERIC, nullptr);
    std::string saved = old ? old : "C";
    bool switched = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
    double v = leadingNumber("12.5");
    double w = leadingNumber("12,5");
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_DOUBLE_EQ(v, 12.5) << (switched ? "with" : "without") << " a comma locale";
    EXPECT_DOUBLE_EQ(w, 12.0);
}

struct RoundCase {
    double value;
    std::int64_t whole;
};

TEST(RoundHalfEven, HalvesGoToTheEvenNeighbour) {
    const RoundCase cases[] = {
        {0.5, 0},   {1.5, 2},   {2.5, 2},     {3.5, 4},   {-0.5, 0},  {-1.5, -2}, {-2.5, -2},
        {-3.5, -4}, {2.4999, 2}, {2.5001, 3}, {-2.6, -3}, {7, 7},     {0, 0},
        {1e300, std::numeric_limits<std::int64_t>::max()},
        {-1e300, std::numeric_limits<std::int64_t>::min()},
        {std::numeric_limits<double>::quiet_NaN(), 0},
    };
    for (const auto& c : cases) EXPECT_EQ(roundHalfEven(c.value), c.whole) << c.value;
}

struct IntCase {
    const char* text;
    std::int32_t value;
};

TEST(LeadingInt, RoundsAndClamps) {
    const IntCase cases[] = {
        {"3.5", 4},   {"2.5", 2},  {"-2.5", -2}, {" 3abc", 3}, {"COM3", 0}, {"", 0},
        {"1e3", 1000}, {"12.5", 12}, {"13.5", 14}, {"-4", -4},
        {"1e20", std::numeric_limits<std::int32_t>::max()},
        {"-1e20", std::numeric_limits<std::int32_t>::min()},
    };
    for (const auto& c : cases) EXPECT_EQ(leadingInt(c.text), c.value) << '"' << c.text << '"';
}

}  // namespace
}  // namespace kvr
