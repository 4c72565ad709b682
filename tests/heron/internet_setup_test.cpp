#include <gtest/gtest.h>

#include "testing/fakes.h"
#include "web_dump/internet_setup.h"

namespace kvr::test {
using namespace kvr::web;
namespace {

std::string stored(test::MemorySettings& s, const std::string& key) {
    return s.get("KVR", "Startup", key).value_or("<absent>");
}

TEST(InternetSetup, SaveTrimsBlanksAndKeepsThePasswordAsTyped) {
    test::MemorySettings s;
    InternetSetup v;
    v.mode = 2;
    v.server = "  proxy.example:3128 ";
    v.bypass = " *.local;<local> ";
    v.username = " user ";
    v.password = " p@ss w0rd ";
    v.dataServer = " data.example:8080 ";
    saveInternetSetup(s, v);
    for (const auto& [key, value] : {std::pair{"ProxySetting", "2"}, {"ProxyServer", "proxy.example:3128"},
                                     {"ProxyBypass", "*.local;<local>"}, {"ProxyUsername", "user"},
                                     {"ProxyPassword", "p@ss w0rd"}, {"DataServer", "data.example:8080"}})
        EXPECT_EQ(stored(s, key), value) << key;
    InternetSetup back = loadInternetSetup(s);
    EXPECT_EQ(back.mode, 2);
    EXPECT_EQ(back.password, "p@ss w0rd");
}

TEST(InternetSetup, WindowAndRequestReadTheModeDifferently) {
    struct Case {
        const char* stored;  // nullptr: absent
        int windowMode;
        ProxyMode requestMode;
    };
    const Case cases[] = {{nullptr, 0, ProxyMode::Direct}, {"0", 0, ProxyMode::System},
                          {"1", 1, ProxyMode::Direct},     {"2", 2, ProxyMode::Named},
                          {" 2 ", 2, ProxyMode::Named},    {"7", 1, ProxyMode::Direct},
                          {"-1", 1, ProxyMode::Direct},    {"junk", 0, ProxyMode::System}};
    for (const auto& c : cases) {
        test::MemorySettings s;
        if (c.stored) s.set("KVR", "Startup", "ProxySetting", c.stored);
        EXPECT_EQ(loadInternetSetup(s).mode, c.windowMode) << (c.stored ? c.stored : "absent");
        EXPECT_EQ(requestProxy(s).mode, c.requestMode) << (c.stored ? c.stored : "absent");
    }
}

TEST(InternetSetup, DataServerHostForTheUrl) {
    const std::pair<const char*, const char*> cases[] = {{" data.example:8080 ", "http://data.example:8080"},
                                                         {"http://data.example/", "http://data.example"},
                                                         {"HTTPS://data.example:8443", "https://data.example:8443"},
                                                         {"", ""}};
    for (const auto& [stored, host] : cases) {
        test::MemorySettings s;
        s.set("KVR", "Startup", "DataServer", stored);
        EXPECT_EQ(dataServer(s), host) << stored;
    }
}

TEST(ProxyBypass, Matching) {
    struct Case {
        const char* host;
        const char* list;
        bool bypass;
    };
    const Case cases[] = {
        {"data.example.com", "", false},
        {"data.example.com", "data.example.com", true},
        {"DATA.Example.com", "data.example.COM", true},
        {"data.example.com", "*.example.com", true},
        {"example.com", "*.example.com", false},
        {"data.example.com", "other.org;*.example.com", true},
        {"data.example.com", "other.org  *.example.com", true},
        {"data.example.com", "other.org;;", false},
        {"intranet", "<local>", true},
        {"intranet.corp", "<local>", false},
        {"10.1.2.3", "10.*", true},
        {"110.1.2.3", "10.*", false},
        {"127.0.0.1", "127.0.0.1", true},
        {"data", "d*t*a", true},
        {"dxa", "d*t*a", false},
    };
    for (const auto& c : cases) EXPECT_EQ(bypassesProxy(c.host, c.list), c.bypass) << c.host << " / " << c.list;
}

TEST(ProxyServerText, PlatformFormsGiveHostAndPort) {
    struct Case {
        const char* text;
        const char* scheme;
        bool ok;
        const char* host;
        int port;
    };
    const Case cases[] = {{"proxy:3128", "http", true, "proxy", 3128},
                          {" proxy ", "https", true, "proxy", 80},
                          {"http://proxy:8080/", "http", true, "proxy", 8080},
                          {"http=a:1;https=b:2", "http", true, "a", 1},
                          {"HTTP=a:1;https=b:2", "https", true, "b", 2},
                          {"https=b:2;c:3", "http", true, "c", 3},
                          {"https=b:2", "http", false, "", 0},
                          {"bad:x;:3128 next:3129", "http", true, "next", 3129},
                          {"proxy:", "http", false, "", 0},
                          {"proxy:99999", "http", false, "", 0},
                          {":3128", "http", false, "", 0},
                          {"", "http", false, "", 0}};
    for (const auto& c : cases) {
        std::string host;
        int port = 0;
        EXPECT_EQ(proxyFor(c.text, c.scheme, host, port), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(host, c.host) << c.text;
            EXPECT_EQ(port, c.port) << c.text;
        }
    }
}

}  // namespace
}  // namespace kvr::test
