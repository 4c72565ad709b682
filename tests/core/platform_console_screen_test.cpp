#include <gtest/gtest.h>

#include <csignal>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "core/console_screen.h"
#include "core/system_clock.h"

using namespace kvr;

namespace {

std::vector<nlohmann::json> jsonLines(const std::string& text) {
    std::vector<nlohmann::json> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(nlohmann::json::parse(l));
    return out;
}

AppOptions withAnswers(std::vector<std::pair<std::string, std::string>> a) {
    AppOptions o;
    o.answers = std::move(a);
    return o;
}

}  // namespace

TEST(ConsoleScreen, BoxesAreAnsweredInOrderPerTitle) {
    const AppOptions opts = withAnswers(
        {{"Serial Port", "3"}, {"ERROR", "4"}, {"Set date", "Yes"}, {"Serial Port", "7"}, {"Set date", "no"},
         {"Clear", "yes"}});
    std::ostringstream out, err;
    ConsoleScreen s(opts, out, err);

    struct Step {
        const char* kind;  // what the program asks
        std::string title;
        std::string text;
        std::string def;
        std::string expectAnswer;
    };
    const Step steps[] = {
        {"input", "Serial Port", "Please enter the port.", "", "3"},
        // An OK box with the same title as a later input box must not use up its answer.
        {"message", "ERROR", "Cannot open com3", "", "OK"},
        {"input", "ERROR", "Cannot open com3\rNo such file\rPlease enter", "", "4"},
        {"question", "Set date", "Set the logger's date?", "", "Yes"},
        {"input", "Serial Port", "again", "9", "7"},
        {"input", "Serial Port", "used up: the default", "9", "9"},
        {"question", "Set date", "again", "", "No"},
        {"question", "Set date", "used up: No", "", "No"},
        {"question", "Clear", "lower-case yes counts", "", "Yes"},
        {"question", "Other", "never answered", "", "No"},
        {"input", "Other", "never answered", "", ""},
    };
    for (const auto& st : steps) {
        std::string kind = st.kind;
        if (kind == "input") {
            EXPECT_EQ(s.inputBox(st.text, st.title, st.def), st.expectAnswer) << st.text;
        } else {
            const bool yes = s.messageBox(st.text, st.title, Icon::Information,
                                          kind == "question" ? Buttons::YesNo : Buttons::Ok);
            EXPECT_EQ(yes, st.expectAnswer != "No") << st.text;
        }
    }
    const auto got = jsonLines(out.str());
    ASSERT_EQ(got.size(), std::size(steps));
    for (std::size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i]["box"], steps[i].kind);
        EXPECT_EQ(got[i]["title"], steps[i].title);
        EXPECT_EQ(got[i]["text"], steps[i].text);
        EXPECT_EQ(got[i]["answer"], steps[i].expectAnswer);
    }
    EXPECT_TRUE(err.str().empty()) << "boxes do not go to the status stream";
}

TEST(ConsoleScreen, BoxLinesAreExactJsonWithFieldsInOrder) {
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
}

TEST(ConsoleScreen, EveryStatusTextIsOneLine) {
    std::ostringstream out, err;
    ConsoleScreen s(AppOptions{}, out, err);
    for (const char* t : {"Opening serial port ...", "Opened com3 OK", "Opened com3 OK", "", "a\rb\nc"})
        s.showEvent(t);
    EXPECT_EQ(err.str(), "Opening serial port ...\nOpened com3 OK\nOpened com3 OK\n\na\\rb\\nc\n");
    EXPECT_TRUE(out.str().empty());
}

TEST(ConsoleScreen, StopSignalEndsAtTheNextYield) {
    std::ostringstream out, err;
    ConsoleScreen s(AppOptions{}, out, err);
    ConsoleScreen::installStopSignals();
    EXPECT_NO_THROW(s.yield());
    std::raise(SIGTERM);
    EXPECT_TRUE(ConsoleScreen::stopRequested());
    EXPECT_THROW(s.yield(), ProgramEnd);
    EXPECT_THROW(s.yield(), ProgramEnd) << "a run's end steps that yield end too, not hang";
    ConsoleScreen::clearStopRequest();
    EXPECT_NO_THROW(s.yield());
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
}

TEST(SystemClock, SleepsInShortSlicesAndAgreesWithLocalTime) {
    SystemClock c;
    struct Case {
        std::int64_t aheadMs;
        std::int64_t minMs, maxMs;
    };
    // Upper bounds leave room for a loaded machine that wakes a sleeper late
    // (a wake-up close to a second late has been seen); a sleep far ahead
    // still has to come back long before its deadline.
    const Case cases[] = {{-50, 0, 500}, {0, 0, 500}, {30, 25, 500}, {5000, 95, 2500}};
    for (const auto& k : cases) {
        const std::int64_t t0 = c.monotonicMs();
        c.sleepUntil(t0 + k.aheadMs);
        const std::int64_t slept = c.monotonicMs() - t0;
        EXPECT_GE(slept, k.minMs) << k.aheadMs;
        EXPECT_LE(slept, k.maxMs) << k.aheadMs;
    }
    // now() is the local wall time as plain seconds.
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    const auto d = std::chrono::floor<std::chrono::days>(c.now());
    const std::chrono::year_month_day ymd{d};
    EXPECT_EQ(static_cast<int>(ymd.year()), tm.tm_year + 1900);
    EXPECT_EQ(static_cast<unsigned>(ymd.month()), static_cast<unsigned>(tm.tm_mon + 1));
    const auto secs = (c.now() - d).count();
    EXPECT_NEAR(static_cast<double>(secs), tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec, 2.0);
}
