#include <gtest/gtest.h>

#include <cstdint>

#include "core/devtime.h"
#include "core/format.h"

namespace kvr {
namespace {

std::string text(LocalTime t) { return formatDate(t, "yyyy/mm/dd HH:MM:SS"); }

TEST(DeviceTime, CountsFromTheStartOf2000) {
    struct {
        std::int64_t count;
        bool minutes;
        const char* text;
    } cases[] = {
        {0, false, "2000/01/01 00:00:00"},
        {86399, false, "2000/01/01 23:59:59"},
        {86400, false, "2000/01/02 00:00:00"},
        {1440, true, "2000/01/02 00:00:00"},
        {6402994, true, "2012/03/04 12:34:00"},
        {0xFFFFFF, true, "2031/11/24 20:15:00"},
        {0x7FFFFFFF, false, "2068/01/19 03:14:07"},
        {-1, false, "1999/12/31 23:59:59"},
    };
    for (const auto& c : cases) {
        LocalTime t = c.minutes ? fromDeviceMinutes(c.count) : fromDeviceSeconds(c.count);
        EXPECT_EQ(text(t), c.text) << c.count << (c.minutes ? " min" : " s");
        EXPECT_EQ(toDeviceSeconds(t), c.minutes ? c.count * 60 : c.count);
    }
}

TEST(DeviceTime, ServerUnitsAreQuarterMinutesRoundedHalfEven) {
    struct {
        LocalTime t;
        std::int32_t units;
    } cases[] = {
        {makeLocal(2000, 1, 1), 0},
        {makeLocal(2000, 1, 2), 5760},
        {makeLocal(2000, 1, 1, 0, 0, 7), 0},   // 7/15 of a unit: down
        {makeLocal(2000, 1, 1, 0, 0, 8), 1},   // 8/15: up
        {makeLocal(2000, 1, 1, 0, 0, 22), 1},  // 1 + 7/15
        {makeLocal(2000, 1, 1, 0, 0, 23), 2},
        {makeLocal(2012, 3, 4, 12, 34), 6402994 * 4},
        {makeLocal(1999, 12, 31, 23, 59, 45), -1},
        {makeLocal(1999, 12, 31, 23, 59, 53), 0},
    };
    for (const auto& c : cases) EXPECT_EQ(toServerUnits(c.t), c.units) << text(c.t);
}

TEST(MakeLocal, CarriesOutOfRangeFieldsIntoNeighbours) {
    struct {
        int y, mo, d, h, mi;
        const char* text;
    } cases[] = {
        {2014, 5, 21, 13, 45, "2014/05/21 13:45:00"},
        {2014, 13, 1, 0, 0, "2015/01/01 00:00:00"},
        {2014, 0, 1, 0, 0, "2013/12/01 00:00:00"},
        {2014, -1, 15, 0, 0, "2013/11/15 00:00:00"},
        {2014, 1, 32, 0, 0, "2014/02/01 00:00:00"},
        {2014, 3, 0, 0, 0, "2014/02/28 00:00:00"},
        {2016, 3, 0, 0, 0, "2016/02/29 00:00:00"},
        {2014, 1, 0, 0, 0, "2013/12/31 00:00:00"},
        {2014, 2, 29, 0, 0, "2014/03/01 00:00:00"},
        {2014, 12, 31, 24, 0, "2015/01/01 00:00:00"},
        {2014, 5, 21, 13, 75, "2014/05/21 14:15:00"},
        {2014, 25, 1, 0, 0, "2016/01/01 00:00:00"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(text(makeLocal(c.y, c.mo, c.d, c.h, c.mi)), c.text) << c.y << '-' << c.mo << '-' << c.d;
}

}  // namespace
}  // namespace kvr
