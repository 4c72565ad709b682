#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "core/lowbatt.h"

namespace kvr {
namespace {

const std::string kIntro = "The following units have low battery readings:\r";

TEST(LowBattery, ReportTexts) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::int32_t, float>> calls;
        std::string text;
    } cases[] = {
        {"nothing reported", {}, ""},
        {"two probes", {{12, 3.1f}, {7, 2.9f}}, kIntro + "12 (3.1V), 7 (2.9V)"},
        {"lowest voltage kept", {{5, 3.1f}, {5, 2.9f}, {5, 3.3f}}, kIntro + "5 (2.9V)"},
        {"below 2.2 ignored", {{5, 1.0f}}, ""},
        {"2.2 itself kept", {{5, 2.2f}}, kIntro + "5 (2.2V)"},
        {"just under 2.2 ignored", {{5, 2.19f}}, ""},
        {"ignored reading does not lower a listed one", {{5, 3.0f}, {5, 1.0f}}, kIntro + "5 (3.0V)"},
        {"probe 0 recorded, not listed", {{0, 3.0f}}, ""},
        {"probe 0 between others", {{3, 3.0f}, {0, 2.5f}, {-4, 2.5f}, {9, 2.35f}}, kIntro + "3 (3.0V), 9 (2.4V)"},
        {"first-report order", {{9, 3.0f}, {3, 2.5f}, {9, 2.4f}}, kIntro + "9 (2.4V), 3 (2.5V)"},
        {"rounding of the voltage", {{1, 3.35f}, {2, 2.25f}}, kIntro + "1 (3.4V), 2 (2.3V)"},
    };
    for (const auto& c : cases) {
        LowBatteryList list;
        for (auto [probe, v] : c.calls) list.AddLowVolts(probe, v);
        EXPECT_EQ(list.reportText(), c.text) << c.name;
    }
}

TEST(LowBattery, KeepsAHundredProbesAndOverwritesTheSpareSlot) {
    LowBatteryList list;
    for (int p = 1; p <= 101; ++p) list.AddLowVolts(p, 3.0f);
    list.AddLowVolts(500, 2.5f);
    EXPECT_EQ(list.count(), 100);
    EXPECT_EQ(list.LowProbe[100], 500);  // the spare slot took the latest newcomer
    std::string text = list.reportText();
    std::string expected = kIntro;
    for (int p = 1; p <= 100; ++p) expected += (p > 1 ? ", " : "") + std::to_string(p) + " (3.0V)";
    EXPECT_EQ(text, expected);
}

}  // namespace
}  // namespace kvr
