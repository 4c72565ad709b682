// What unattended runs rest on: the command line, the console screen's
// boxes and stop signal, the trace of the serial port, the system clock.
#include <gtest/gtest.h>

#include <csignal>
#include <sstream>

#include <nlohmann/json.hpp>

#include "core/app_options.h"
#include "core/console_screen.h"
#include "core/system_clock.h"
#include "core/tracing_port.h"
#include "testing/fakes.h"

namespace kvr {
namespace {

using Answers = std::vector<std::pair<std::string, std::string>>;

bool parse(std::vector<std::string> args, AppOptions& opts) {
    args.insert(args.begin(), "prog");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::string error;
    const bool ok = parseAppOptions(static_cast<int>(args.size()), argv.data(), "/opt/kvr", opts, error);
    EXPECT_EQ(error.empty(), ok) << error;
    return ok;
}

TEST(AppOptions, CommandLines) {
    const struct {
        std::vector<std::string> args;
        bool ok;
        std::string folder;
        bool unattended;
        Answers answers;
        std::string trace;
    } cases[] = {
        {{}, true, "/opt/kvr", false, {}, ""},
        {{"--folder=/data", "--unattended", "--trace", "t.log"}, true, "/data", true, {}, "t.log"},
        // Repeated titles keep their order; the text may hold "=" and be empty.
        {{"--answer", "Serial Port=3", "--answer=ERROR=0", "--answer", "Serial Port=a=b", "--answer", "Q="},
         true, "/opt/kvr", false, {{"Serial Port", "3"}, {"ERROR", "0"}, {"Serial Port", "a=b"}, {"Q", ""}}, ""},
        {{"--folder"}, false, "", false, {}, ""},
        {{"--answer", "NoEquals"}, false, "", false, {}, ""},
        {{"--answer", "=x"}, false, "", false, {}, ""},
        {{"--folder="}, false, "", false, {}, ""},
        {{"--unattended", "--trace="}, false, "", false, {}, ""},
        {{"positional"}, false, "", false, {}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        AppOptions o;
        ASSERT_EQ(parse(c.args, o), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(o.folder, c.folder);
        EXPECT_EQ(o.unattended, c.unattended);
        EXPECT_EQ(o.answers, c.answers);
        EXPECT_EQ(o.traceFile, c.trace);
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
    const auto got = jsonLines(out.str());
    ASSERT_EQ(got.size(), std::size(steps));
    for (std::size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i]["box"], steps[i].kind);
        EXPECT_EQ(got[i]["title"], steps[i].title);
        EXPECT_EQ(got[i]["answer"], steps[i].answer);
    }
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

// Answers every write with the bytes reversed, 5 ms later.
struct Reverser : sim::SimDevice {
    void receive(ByteSpan data, sim::SimOutput& out) override { out.send(Bytes(data.rbegin(), data.rend()), 5); }
    nlohmann::json state() const override { return {}; }
};

TEST(TracingPort, RecordsEveryByteOnceInOrderAndPassesThemThrough) {
    testing::FakeClock clock;
    testing::FakePort fake{clock};
    Reverser device;
    std::ostringstream trace;
    TracingPort port{fake, clock, trace};
    fake.latencyMs = 0;
    fake.attach(3, &device);
    fake.failOpen(4, "Permission denied");
    auto readFor = [&](std::int64_t ms) {
        Bytes got;
        const std::int64_t deadline = clock.monotonicMs() + ms;
        while (clock.monotonicMs() < deadline)
            if (port.waitForBytes(deadline)) {
                Bytes b = port.readAll();
                got.insert(got.end(), b.begin(), b.end());
            }
        return got;
    };
    std::string err;
    const std::int64_t t0 = clock.monotonicMs();
    EXPECT_FALSE(port.open(4, err));
    EXPECT_EQ(err, "Permission denied");
    ASSERT_TRUE(port.open(3, err));
    ASSERT_TRUE(port.write(Bytes{0x02, 0x10, 0xFF}));
    EXPECT_EQ(readFor(50), (Bytes{0xFF, 0x10, 0x02})) << "bytes reach the caller unchanged";
    clock.advance(100);
    ASSERT_TRUE(port.write(Bytes{0x0A}));
    EXPECT_EQ(readFor(50), Bytes{0x0A});
    // Bytes thrown away unread are still in the trace.
    fake.inject(Bytes{0x41, 0x42});
    port.waitForBytes(clock.monotonicMs() + 10);
    port.clearInput();
    EXPECT_EQ(port.bytesWaiting(), 0u);
    ASSERT_TRUE(port.setSettings("56000,n,8,1"));
    port.setDtr(true);
    port.close();

    EXPECT_EQ(fake.written(), (Bytes{0x02, 0x10, 0xFF, 0x0A})) << "writes reach the inner port";
    const auto at = [&](std::int64_t ms) { return std::to_string(t0 + ms); };
    EXPECT_EQ(trace.str(), "# " + at(0) + " open 4 failed: Permission denied\n"
                           "# " + at(0) + " open 3 ok\n" +
                           at(0) + " TX 02 10 FF\n" +
                           at(5) + " RX FF 10 02\n" +
                           at(150) + " TX 0A\n" +
                           at(155) + " RX 0A\n" +
                           at(200) + " RX 41 42\n"
                           "# " + at(200) + " clear input 2\n"
                           "# " + at(200) + " settings 56000,n,8,1 ok\n"
                           "# " + at(200) + " dtr 1 failed\n"
                           "# " + at(200) + " close 3\n");
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
}  // namespace kvr
