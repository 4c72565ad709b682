// What unattended runs rest on: the command line, the console screen's
// boxes and stop signal, the system clock.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "core/app_options.h"
#include "core/console_screen.h"
#include "core/port_names.h"
#include "core/system_clock.h"
#include "testing/fakes.h"

namespace kvr::test {
namespace {

TEST(AppOptions, RepeatedAnswersKeepTheirOrderAndMalformedLinesAreRefused) {
    auto parse = [](std::vector<std::string> args, AppOptions& opts) {
        args.insert(args.begin(), "prog");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::string error;
        const bool ok = parseAppOptions(static_cast<int>(args.size()), argv.data(), "/opt/kvr", opts, error);
        EXPECT_EQ(error.empty(), ok) << error;
        return ok;
    };
    AppOptions o;
    ASSERT_TRUE(parse({"--answer", "Serial Port=3", "--answer=ERROR=0", "--answer", "Serial Port=a=b", "--answer",
                       "Q=", "--folder=/data"}, o));
    EXPECT_EQ(o.answers, (std::vector<std::pair<std::string, std::string>>{
                             {"Serial Port", "3"}, {"ERROR", "0"}, {"Serial Port", "a=b"}, {"Q", ""}}));
    EXPECT_EQ(o.folder, "/data");
    for (std::vector<std::string> bad : {std::vector<std::string>{"--folder"}, {"--answer", "NoEquals"},
                                         {"--answer", "=x"}, {"--folder="}, {"--trace="}, {"positional"}}) {
        AppOptions ignored;
        EXPECT_FALSE(parse(bad, ignored)) << ::testing::PrintToString(bad);
    }
}

std::vector<nlohmann::json> jsonLines(const std::string& text) {
    std::vector<nlohmann::json> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(nlohmann::json::parse(l));
    return out;
}

TEST(ConsoleScreen, BoxesAreAnsweredInOrderPerTitle) {
    AppOptions opts;
    opts.answers = {{"Serial Port", "3"}, {"ERROR", "4"}, {"Set date", "Yes"},
                    {"Serial Port", "7"}, {"Set date", "no"}, {"Clear", "yes"}};
    std::ostringstream out, err;
    ConsoleScreen s(opts, out, err);
    const struct {
        const char* kind;  // what the program asks
        std::string title, text, def, answer;
    } steps[] = {
        {"input", "Serial Port", "Please enter the port.", "", "3"},
        // An OK box with the same title as a later input box must not use up its answer.
        {"message", "ERROR", "Cannot open com3", "", "OK"},
        {"input", "ERROR", "Cannot open com3\rPlease enter", "", "4"},
        {"question", "Set date", "Set the logger's date?", "", "Yes"},
        {"input", "Serial Port", "again", "9", "7"},
        {"input", "Serial Port", "used up: the default", "9", "9"},
        {"question", "Set date", "again", "", "No"},
        {"question", "Set date", "used up: No", "", "No"},
        {"question", "Clear", "lower-case yes counts", "", "Yes"},
        {"input", "Other", "never answered", "", ""},
    };
    for (const auto& st : steps) {
        if (std::string(st.kind) == "input") {
            EXPECT_EQ(s.inputBox(st.text, st.title, st.def), st.answer) << st.text;
        } else {
            const auto buttons = std::string(st.kind) == "question" ? Buttons::YesNo : Buttons::Ok;
            EXPECT_EQ(s.messageBox(st.text, st.title, Icon::Information, buttons), st.answer != "No") << st.text;
        }
    }
    std::vector<nlohmann::json> want;
    for (const auto& st : steps)
        want.push_back({{"box", st.kind}, {"title", st.title}, {"text", st.text}, {"answer", st.answer}});
    EXPECT_EQ(jsonLines(out.str()), want);
    EXPECT_TRUE(err.str().empty()) << "boxes do not go to the status stream";
}

TEST(ConsoleScreen, BoxesAreExactJsonLinesAndStatusTextsOneLineEach) {
    std::ostringstream out, err;
    ConsoleScreen s(AppOptions{}, out, err);
    s.messageBox("Line1\rLine2 \"q\" caf\xC3\xA9", "Low Battery", Icon::Exclamation, Buttons::Ok);
    EXPECT_EQ(out.str(),
              "{\"box\":\"message\",\"title\":\"Low Battery\",\"text\":\"Line1\\rLine2 \\\"q\\\" caf\xC3\xA9\","
              "\"answer\":\"OK\"}\n");
    // Bytes that are not UTF-8 do not end the program.
    out.str("");
    EXPECT_NO_THROW(s.messageBox(std::string("bad \xFF byte"), "T", Icon::None, Buttons::Ok));
    EXPECT_NO_THROW(jsonLines(out.str()));

    for (const char* t : {"Opened com3 OK", "", "a\rb\nc"}) s.showEvent(t);
    EXPECT_EQ(err.str(), "Opened com3 OK\n\na\\rb\\nc\n");
}

TEST(ConsoleScreen, StatusLinesCarryTheTimeAndProgressIsThinnedToOneASecond) {
    using namespace std::chrono;
    test::FakeClock clock(local_days{year{2026} / 12 / 7} + hours{6} + minutes{15});
    std::ostringstream out, err;
    ConsoleScreen s(AppOptions{}, out, err, &clock);
    const struct {
        std::int64_t afterMs;
        const char* text;
    } steps[] = {
        {0, "Opened com3 OK"},       {0, "Loading reading 1/65536"}, {300, "Loading reading 2/65536"},
        {400, "Loading reading 3/65536"}, {400, "Loading reading 4/65536"}, {100, "Loading reading 5/65536"},
        {50, "Setting server date ..."},  {0, "Loading reading 1/2"},   {10, "Loading reading 2/2"},
    };
    for (const auto& st : steps) {
        clock.advance(st.afterMs);
        s.showEvent(st.text);
    }
    s.flushStatus();
    // 4/65536 is a second after 1/65536; 5/65536 is held back and written
    // before the next different line; the last of a series always shows.
    EXPECT_EQ(err.str(),
              "2026/12/07 06:15:00 Opened com3 OK\n"
              "2026/12/07 06:15:00 Loading reading 1/65536\n"
              "2026/12/07 06:15:01 Loading reading 4/65536\n"
              "2026/12/07 06:15:01 Loading reading 5/65536\n"
              "2026/12/07 06:15:01 Setting server date ...\n"
              "2026/12/07 06:15:01 Loading reading 1/2\n"
              "2026/12/07 06:15:01 Loading reading 2/2\n");
}

TEST(PortNames, ADevicePathGetsAFreeNumberUnderItsStableName) {
    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / ("kvr_ports_" + std::to_string(::getpid()));
    fs::remove_all(root);
    DeviceFolders dirs{root / "by-id", root / "dev"};
    fs::create_directories(dirs.byId);
    fs::create_directories(dirs.dev);
    for (const char* d : {"ttyS0", "ttyS1", "ttyUSB0", "ttyUSB1"}) std::ofstream(dirs.dev / d).put('x');
    fs::create_symlink(dirs.dev / "ttyUSB1", dirs.byId / "usb-FTDI_A10K-if00-port0");
    const std::string usb0 = (dirs.dev / "ttyUSB0").string(), usb1 = (dirs.dev / "ttyUSB1").string();
    test::MemorySettings st;
    st.values["KVR/Ports/COM3"] = "/dev/pts/9";
    const struct {
        std::string device;
        int number;
        std::string stored;  // KVR/Ports/COM<number> afterwards
    } cases[] = {
        {usb0, 4, usb0},  // 1 and 2 have ttyS devices, 3 has an entry
        {usb1, 5, (dirs.byId / "usb-FTDI_A10K-if00-port0").string()},
        {" " + usb0, 4, usb0},  // known already: same number, nothing added
        {(dirs.byId / "usb-FTDI_A10K-if00-port0").string(), 5, (dirs.byId / "usb-FTDI_A10K-if00-port0").string()},
        {"/dev/pts/9", 3, "/dev/pts/9"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(portForDevice(st, c.device, dirs), c.number) << c.device;
        EXPECT_EQ(st.values["KVR/Ports/COM" + std::to_string(c.number)], c.stored) << c.device;
    }
    EXPECT_EQ(st.values.size(), 3u);
    fs::remove_all(root);
}

TEST(ConsoleScreen, StopSignalEndsAtTheNextYield) {
    std::ostringstream out, err;
    ConsoleScreen s(AppOptions{}, out, err);
    ConsoleScreen::installStopSignals();
    EXPECT_NO_THROW(s.yield());
    std::raise(SIGTERM);
    EXPECT_THROW(s.yield(), ProgramEnd);
    EXPECT_THROW(s.yield(), ProgramEnd) << "a run's end steps that yield end too, not hang";
    ConsoleScreen::clearStopRequest();
    EXPECT_NO_THROW(s.yield());
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
}

TEST(SystemClock, SleepsInShortSlicesAndAgreesWithLocalTime) {
    SystemClock c;
    // Upper bounds leave room for a loaded machine that wakes a sleeper late
    // (a wake-up close to a second late has been seen); a sleep far ahead
    // still has to come back long before its deadline.
    const struct {
        std::int64_t aheadMs, minMs, maxMs;
    } cases[] = {{-50, 0, 500}, {30, 25, 500}, {5000, 95, 2500}};
    for (const auto& k : cases) {
        const std::int64_t t0 = c.monotonicMs();
        c.sleepUntil(t0 + k.aheadMs);
        const std::int64_t slept = c.monotonicMs() - t0;
        EXPECT_GE(slept, k.minMs) << k.aheadMs;
        EXPECT_LE(slept, k.maxMs) << k.aheadMs;
    }
    // now() is the local wall time as plain seconds.
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    const auto d = std::chrono::floor<std::chrono::days>(c.now());
    const std::chrono::year_month_day ymd{d};
    EXPECT_EQ(static_cast<int>(ymd.year()), tm.tm_year + 1900);
    EXPECT_EQ(static_cast<unsigned>(ymd.day()), static_cast<unsigned>(tm.tm_mday));
    EXPECT_NEAR(static_cast<double>((c.now() - d).count()), tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec, 2.0);
}

}  // namespace
}  // namespace kvr::test
