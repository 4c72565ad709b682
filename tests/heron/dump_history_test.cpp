#include <gtest/gtest.h>

#include "files/probe_files.h"
#include "tests/core/temp_folder.h"
#include "web_dump/dump_history.h"

namespace kvr::test {
using namespace kvr::web;
namespace {

TEST(DumpHistory, ListsHeronAndMartenFilesWithGaps) {
    TempFolder dir;
    writeFile(dumpFilePath(dir.path(), 0), "Date - 21/05/2014 13:45\r\nProbe ,RecNo\r\n");
    writeFile(dumpFilePath(dir.path(), 2), "Probe ,RecNo,Date\r\n12,  1 ,x\r\n");  // Marten: no date line
    writeFile(dumpFilePath(dir.path(), 7), "");                                  // empty
    writeFile(dumpFilePath(dir.path(), 99), "Date - 01/01/2020 00:00");          // no line end
    EXPECT_EQ(dumpHistoryEntries(dir.path()),
              (std::vector<std::string>{"00 - 21/05/2014 13:45", "02 - ?", "07 - ?", "99 - 01/01/2020 00:00"}));
}

TEST(DumpHistory, LinesBecomeColumnsWithoutTheDateLine) {
    TempFolder dir;
    writeFile(dumpFilePath(dir.path(), 3),
              "Date - 21/05/2014 13:45\r\nProbe ,RecNo,Date\r\n12,  3456 ,2014/05/21 13:45:00,20.10\r\n");
    writeFile(dumpFilePath(dir.path(), 4), "Probe ,RecNo\r\n! 12 ,CRC error\r\n");
    EXPECT_EQ(dumpLines(dir.path(), 3),
              (std::vector<std::string>{"Probe \tRecNo\tDate", "12\t  3456 \t2014/05/21 13:45:00\t20.10"}));
    EXPECT_EQ(dumpLines(dir.path(), 4), (std::vector<std::string>{"Probe \tRecNo", "! 12 \tCRC error"}));
}

}  // namespace
}  // namespace kvr::test
