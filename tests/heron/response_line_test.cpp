#include <gtest/gtest.h>

#include "core/format.h"
#include "files/probe_files.h"
#include "web_dump/response_line.h"

namespace kvr::test {
using namespace kvr::web;
namespace {

// Twelve depth values, Temp, volts: 15 numeric fields after the date.
const std::string kValues = "20.1,30.2,21.5,0.5,7.26,5,-1.5,12.345,18,19.999,3,4,22.25,3.66";

// kValues as the two files write them.
const std::string kDumpValues = "20.10,30.20,21.50,0.50,7.26,5.00,-1.50,12.35,18.00,20.00,3.00,4.00,22.25,3.7,";
const std::string kDataValues =
    " 20.1, 030.20, 21.5, 000.50, 07.3, 005.00, -01.5, 012.35, 18.0, 020.00, 03.0, 004.00,3.7\r\n";

struct LineCase {
    const char* name;
    std::string line;
    std::int32_t probe;
    const char* dump;  // the dump row up to the values, nullptr when skipped
    const char* flags;  // the dump row after them
    const char* data;  // the data row up to the values
};

TEST(ResponseLine, GivesTheRowsOrSkips) {
    const LineCase cases[] = {
        {"full_line_19_fields", "12,3456,21/05/2014 13:45," + kValues + ",FALSE),17", 12,
         "12,  3456 ,2014/05/21 13:45:00,", "1,17\r\n", "00012, 2014/05/21 13:45:00,"},
        {"eighteen_fields_empty_last_column", "12,3456,21/05/2014 13:45," + kValues + ",TRUE)", 12,
         "12,  3456 ,2014/05/21 13:45:00,", "0,\r\n", "00012, 2014/05/21 13:45:00,"},
        {"lower_case_false_bracket_is_power_fail", "7,0,01/01/2020 00:00," + kValues + ",false),0", 7,
         "7,  0 ,2020/01/01 00:00:00,", "1,\r\n", "00007, 2020/01/01 00:00:00,"},
        {"false_without_bracket_is_not", "7,-5,01/01/2020 00:00," + kValues + ",FALSE,3", 7,
         "7, -5 ,2020/01/01 00:00:00,", "0,3\r\n", "00007, 2020/01/01 00:00:00,"},
        {"other_probe_skipped", "13,3456,21/05/2014 13:45," + kValues + ",FALSE),17", 12, nullptr, nullptr, nullptr},
        {"probe_zero_skipped_even_when_asked", "0,1,21/05/2014 13:45," + kValues + ",x", 0, nullptr, nullptr, nullptr},
        {"text_probe_skipped", "abc,1,21/05/2014 13:45," + kValues + ",x", 0, nullptr, nullptr, nullptr},
        {"seventeen_fields_skipped", "12,3456,21/05/2014 13:45,20.1,30.2,21.5,0.5,7.26,5,-1.5,12.345,18,19.999,3,4,22.25",
         12, nullptr, nullptr, nullptr},
        {"empty_line_skipped", "", 12, nullptr, nullptr, nullptr},
        {"probe_rounded_half_even", "12.5,1,21/05/2014 13:45," + kValues + ",x", 12,
         "12,  1 ,2014/05/21 13:45:00,", "0,\r\n", "00012, 2014/05/21 13:45:00,"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = decodeResponseLine(c.line, c.probe);
        ASSERT_EQ(r.has_value(), c.dump != nullptr) << c.line;
        if (!c.dump) continue;
        EXPECT_EQ(dumpRow(*r, Program::Heron), c.dump + kDumpValues + c.flags);
        EXPECT_EQ(dataRow(*r, Program::Heron), c.data + kDataValues);
    }
}

TEST(ResponseDate, ReadsByPositionAndCarries) {
    const std::pair<const char*, const char*> cases[] = {
        {"21/05/2014 13:45", "2014/05/21 13:45:00"}, {"21/05/2014 13:45:59 and more", "2014/05/21 13:45:00"},
        {"32/01/2014 10:00", "2014/02/01 10:00:00"}, {"00/03/2016 00:00", "2016/02/29 00:00:00"},
        {"15/13/2014 08:30", "2015/01/15 08:30:00"}, {"15/00/2014 08:30", "2013/12/15 08:30:00"},
        {"31/12/2014 25:70", "2015/01/01 02:10:00"}, {" 5/ 6/2014  7: 8", "2014/06/05 07:08:00"}};
    for (const auto& [field, text] : cases) EXPECT_EQ(formatDate(responseDate(field), "yyyy/mm/dd HH:MM:SS"), text) << field;
}

}  // namespace
}  // namespace kvr::test
