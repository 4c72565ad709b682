#include <gtest/gtest.h>

#include "testing/fakes.h"
#include "tests/core/temp_folder.h"
#include "web_dump/http_service.h"

namespace kvr::test {
using namespace kvr::web;
namespace {

// Answers every request with the scripted outcome and body chunks.
class FakeTransport : public HttpTransport {
public:
    HttpOutcome perform(const HttpRequestSpec& desc, const std::function<bool(std::string_view)>& onData,
                        const std::function<void()>& waitPass) override {
        requests.push_back(desc);
        for (const auto& c : chunks) {
            waitPass();
            if (!onData(c)) {
                sinkRefused = true;
                return {};
            }
        }
        return outcome;
    }
    std::vector<HttpRequestSpec> requests;
    std::vector<std::string> chunks;
    HttpOutcome outcome;
    bool sinkRefused = false;
};

struct Rig {
    TempFolder dir;
    test::ScriptedScreen screen;
    test::MemorySettings settings;
    FakeTransport transport;
    std::vector<std::filesystem::path> viewed;
    HttpService http{screen, settings, transport, dir.path(), [this](const std::filesystem::path& p) {
                         viewed.push_back(p);
                     }};
    std::filesystem::path response() const { return dir / "WebResponse.html"; }
};

HttpOutcome status(int code, const char* text) {
    HttpOutcome o;
    o.haveStatus = true;
    o.status = code;
    o.statusText = text;
    return o;
}

TEST(HttpService, GetStoresTheBodyUnderTheFileAndLeavesNoResponseFile) {
    Rig rig;
    writeFile(rig.response(), "stale answer");
    auto target = rig.dir / "sub" / "dir" / "WebProbeData.csv";
    writeFile(target, "older file of that name");
    rig.transport.chunks = {"12,1,", "21/05/2014", " 13:45\r\n"};
    rig.transport.outcome = status(200, "OK");
    EXPECT_TRUE(rig.http.httpRequest("GET", "http://h/site/pull.ashx?x=1", target));
    EXPECT_EQ(readFile(target), "12,1,21/05/2014 13:45\r\n");
    EXPECT_FALSE(std::filesystem::exists(rig.response()));
    EXPECT_TRUE(rig.screen.boxes.empty());
    // Method, address and content type reach the stand-in service in the
    // end-to-end runs; the proxy mode is the internet-setup table's.
    ASSERT_EQ(rig.transport.requests.size(), 1u);
    EXPECT_EQ(rig.transport.requests[0].inactivityLimitMs, 60'000);
    EXPECT_GE(rig.screen.yields, 1);
}

HttpOutcome setupError(int n, const char* text) {
    HttpOutcome o;
    o.setupError = n;
    o.setupErrorText = text;
    return o;
}

// Told to the user in an ERROR box, the answer kept in WebResponse.html. The
// texts for a 404, a refused connection and the time limit are held by the
// end-to-end runs against the stand-in service.
TEST(HttpService, FailuresAreToldToTheUserAndReturnFalse) {
    const struct {
        HttpOutcome outcome;
        const char* answer;  // to the box
        const char* text;
        bool question, viewerOpened;
    } cases[] = {
        {status(500, "Internal Server Error"), "Yes",
         "ERROR(500): The web server could not process the data. Internal Server Error\r\rDo you want to view the web "
         "response?", true, true},
        {setupError(12005, "The URL \"x\" is not valid."), "",
         "Error(12005) synchronizing web server.The URL \"x\" is not valid.", false, false},
        {HttpOutcome{}, "", "Error(1) synchronizing web server.No answer", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Rig rig;
        rig.transport.chunks = {"<html>nope</html>"};
        rig.transport.outcome = c.outcome;
        rig.screen.answer("ERROR", c.answer);
        auto target = rig.dir / "WebProbeData.csv";
        EXPECT_FALSE(rig.http.httpRequest("GET", "http://h/", target));
        EXPECT_FALSE(std::filesystem::exists(target));
        ASSERT_EQ(rig.screen.boxes.size(), 1u);
        EXPECT_EQ(rig.screen.boxes[0].title, "ERROR");
        EXPECT_EQ(rig.screen.boxes[0].text, c.text);
        EXPECT_EQ(rig.screen.boxes[0].kind, c.question ? "question" : "message");
        EXPECT_EQ(rig.viewed, std::vector<std::filesystem::path>(c.viewerOpened ? 1 : 0, rig.response()));
        EXPECT_TRUE(std::filesystem::exists(rig.response()));
    }
}

TEST(HttpService, AResponseFileThatCannotBeWrittenFailsTheRequest) {
    Rig rig;
    std::filesystem::create_directories(rig.response() / "inside");  // a folder in the way
    rig.transport.chunks = {"12,1\r\n"};
    rig.transport.outcome = status(200, "OK");
    auto target = rig.dir / "WebProbeData.csv";
    EXPECT_FALSE(rig.http.httpRequest("GET", "http://h/", target));
    EXPECT_FALSE(std::filesystem::exists(target));
    ASSERT_EQ(rig.screen.boxes.size(), 1u);
    EXPECT_EQ(rig.screen.boxes[0].text.rfind("Error(", 0), 0u) << rig.screen.boxes[0].text;
    EXPECT_NE(rig.screen.boxes[0].text.find("WebResponse.html"), std::string::npos) << rig.screen.boxes[0].text;
}

TEST(HttpService, ClosingTheWindowDuringTheWaitPropagates) {
    Rig rig;
    rig.transport.chunks = {"a", "b", "c"};
    rig.transport.outcome = status(200, "OK");
    rig.screen.closeAfterYields(2);
    auto target = rig.dir / "WebProbeData.csv";
    EXPECT_THROW(rig.http.httpRequest("GET", "http://h/", target), ProgramEnd);
    EXPECT_FALSE(std::filesystem::exists(target));
}

TEST(HttpService, PostChecksForDone) {
    struct Case {
        const char* reply;
        const char* answer;
        bool boxShown;
        bool viewerOpened;
    };
    const Case cases[] = {{"  Done, 3 rows", "", false, false},
                          {"Failed", "No", true, false},
                          {"Failed", "Yes", true, true},
                          {"", "No", true, false}};
    for (const auto& c : cases) {
        Rig rig;
        auto body = rig.dir / "upload.csv";
        writeFile(body, "a,b\r\n");
        rig.transport.chunks = {c.reply};
        rig.transport.outcome = status(200, "OK");
        rig.screen.answer("ERROR", c.answer);
        EXPECT_TRUE(rig.http.httpRequest("POST", "http://h/up", body)) << c.reply;
        EXPECT_EQ(rig.transport.requests.at(0).body, "a,b\r\n");
        EXPECT_EQ(rig.screen.boxes.size(), c.boxShown ? 1u : 0u) << c.reply;
        if (c.boxShown) {
            EXPECT_EQ(rig.screen.boxes[0].text,
                      "SERVER ERROR: The web server could not process the data.\r\rDo you want to view the web "
                      "response?");
        }
        EXPECT_EQ(!rig.viewed.empty(), c.viewerOpened) << c.reply;
        EXPECT_EQ(std::filesystem::exists(rig.response()), c.viewerOpened) << c.reply;
    }
}

}  // namespace
}  // namespace kvr::test
