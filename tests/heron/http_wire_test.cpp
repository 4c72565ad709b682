// The HTTP answer reader decides whether a download is whole: an answer cut
// short and taken for complete loses the readings after the break for good.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "web_dump/http_wire.h"

using namespace kvr::web;

namespace {

enum class Want { Whole, Cut, Malformed };

struct Framing {
    const char* name;
    std::string bytes;  // everything the connection carries before it closes
    Want want;
    int status;
    std::string body;
};

struct Outcome {
    bool whole = false;
    bool cut = false;
    int status = 0;
    std::string body;
};

// Feeds the bytes in pieces of `step` (0: all at once), then closes.
Outcome readAll(const std::string& bytes, std::size_t step) {
    Outcome o;
    ResponseReader r([&](std::string_view b) {
        o.body.append(b);
        return true;
    });
    for (std::size_t at = 0; at < bytes.size();) {
        std::size_t n = step ? std::min(step, bytes.size() - at) : bytes.size();
        if (!r.feed(std::string_view(bytes).substr(at, n))) break;
        at += n;
    }
    o.whole = r.closed();
    o.cut = r.cutShort();
    o.status = r.status();
    return o;
}

const std::string kOk = "HTTP/1.1 200 OK\r\n";

}  // namespace

TEST(HttpWire, AnswerEndsWhereItsFramingSays) {
    const std::vector<Framing> cases = {
        {"length, whole", kOk + "Content-Length: 5\r\n\r\nabcde", Want::Whole, 200, "abcde"},
        {"length, bytes after the end are not body", kOk + "Content-Length: 3\r\n\r\nabcXYZ", Want::Whole, 200,
         "abc"},
        {"length, closed short", kOk + "Content-Length: 10\r\n\r\nabcde", Want::Cut, 200, "abcde"},
        {"length repeated alike", kOk + "Content-Length: 2\r\nContent-Length: 2, 2\r\n\r\nab", Want::Whole, 200,
         "ab"},
        {"length conflicting", kOk + "Content-Length: 2\r\nContent-Length: 3\r\n\r\nab", Want::Malformed, 200, ""},
        {"length not a number", kOk + "Content-Length: 1x\r\n\r\nab", Want::Malformed, 200, ""},
        {"chunked, whole with extension and trailer",
         kOk + "Transfer-Encoding: chunked\r\n\r\n4;x=y\r\nabcd\r\nA\r\n0123456789\r\n0\r\nX-T: 1\r\n\r\n",
         Want::Whole, 200, "abcd0123456789"},
        {"chunked, closed between chunks (the short answer cut halfway)",
         kOk + "Transfer-Encoding: chunked\r\n\r\n4\r\nabcd\r\n", Want::Cut, 200, "abcd"},
        {"chunked, closed inside a chunk", kOk + "Transfer-Encoding: chunked\r\n\r\n8\r\nabcd", Want::Cut, 200,
         "abcd"},
        {"chunked, closed before the trailer's end", kOk + "Transfer-Encoding: chunked\r\n\r\n1\r\na\r\n0\r\n",
         Want::Cut, 200, "a"},
        {"chunked wins over a length", kOk + "Content-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n0\r\n\r\n",
         Want::Whole, 200, "ab"},
        {"chunked, bare line feeds", "HTTP/1.1 200 OK\nTransfer-Encoding: Chunked\n\n2\nab\n0\n\n", Want::Whole, 200,
         "ab"},
        {"chunked, size not hex", kOk + "Transfer-Encoding: chunked\r\n\r\nzz\r\n", Want::Malformed, 200, ""},
        {"chunked, chunk longer than its size", kOk + "Transfer-Encoding: chunked\r\n\r\n1\r\nab\r\n0\r\n\r\n",
         Want::Malformed, 200, "a"},
        {"chunked, size too large", kOk + "Transfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFFF\r\n", Want::Malformed,
         200, ""},
        {"other coding last: ends with the connection", kOk + "Transfer-Encoding: chunked, gzip\r\n\r\nxyz",
         Want::Whole, 200, "xyz"},
        {"no length: ends with the connection", kOk + "\r\nline 1\r\nline 2", Want::Whole, 200, "line 1\r\nline 2"},
        {"no body for 204", "HTTP/1.1 204 No Content\r\n\r\n", Want::Whole, 204, ""},
        {"interim 100 skipped", "HTTP/1.1 100 Continue\r\n\r\n" + kOk + "Content-Length: 1\r\n\r\nz", Want::Whole, 200,
         "z"},
        {"status and reason of a refusal", "HTTP/1.0 404 Not Found\r\nContent-Length: 2\r\n\r\nno", Want::Whole, 404,
         "no"},
        {"closed in the headers", kOk + "Content-Le", Want::Cut, 200, ""},
        {"closed without a byte", "", Want::Cut, 0, ""},
        {"not HTTP", "SSH-2.0-OpenSSH\r\n\r\n", Want::Malformed, 0, ""},
        {"header without a colon", kOk + "Broken header\r\n\r\n", Want::Malformed, 200, ""},
        {"endless header line", kOk + "X: " + std::string(70000, 'a'), Want::Malformed, 200, ""},
    };
    for (const auto& c : cases) {
        // Where the network splits the bytes must not matter.
        for (std::size_t step : {std::size_t{0}, std::size_t{1}, std::size_t{7}}) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(step));
            Outcome o = readAll(c.bytes, step);
            EXPECT_EQ(o.whole, c.want == Want::Whole);
            EXPECT_EQ(o.cut, c.want == Want::Cut);
            EXPECT_EQ(o.status, c.status);
            if (c.want != Want::Malformed) {
                EXPECT_EQ(o.body, c.body);
            }
        }
    }
}

TEST(HttpWire, BodyThatCannotBeStoredFailsTheAnswer) {
    int calls = 0;
    ResponseReader r([&](std::string_view) { return ++calls < 2; });
    EXPECT_FALSE(r.feed(kOk + "Transfer-Encoding: chunked\r\n\r\n1\r\na\r\n1\r\nb\r\n1\r\nc\r\n0\r\n\r\n"));
    EXPECT_TRUE(r.sinkFailed());
    EXPECT_EQ(calls, 2);  // nothing offered after the refusal
    EXPECT_FALSE(r.closed());
}

TEST(HttpWire, UrlsAreReadAsTheyStand) {
    struct Case {
        const char* url;
        int error;
        const char* host;
        int port;
        const char* target;
    };
    const Case cases[] = {
        {"http://data.example.com/site/pull.ashx?fdate=2014/05/01&tdate=2026/12/07&probeid=12", 0,
         "data.example.com", 80, "/site/pull.ashx?fdate=2014/05/01&tdate=2026/12/07&probeid=12"},
        {"HTTP://127.0.0.1:8080", 0, "127.0.0.1", 8080, "/"},
        {"http://h?x=1#part", 0, "h", 80, "/?x=1"},
        {"http://h/a b\"c", 0, "h", 80, "/a%20b%22c"},  // a blank typed into a date
        {"http://[::1]:81/x", 0, "[::1]", 81, "/x"},
        {"https://h/", 12006, "", 0, ""},
        {"h/site", 12005, "", 0, ""},
        {"http:///x", 12005, "", 0, ""},
        {"http://h:0/", 12005, "", 0, ""},
        {"http://h:123456/", 12005, "", 0, ""},
        {"http://user:pw@h/", 12005, "", 0, ""},
        {"http://bad host/", 12005, "", 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        HttpUrl u;
        int error = -1;
        EXPECT_EQ(parseHttpUrl(c.url, u, error), c.error == 0);
        EXPECT_EQ(error, c.error);
        if (c.error) continue;
        EXPECT_EQ(u.host, c.host);
        EXPECT_EQ(u.port, c.port);
        EXPECT_EQ(u.target, c.target);
    }
}

TEST(HttpWire, RequestBytes) {
    HttpRequestText r;
    r.method = "GET";
    r.contentType = "multipart/form-data; boundary=AaB03x";
    int error = 0;
    ASSERT_TRUE(parseHttpUrl("http://svc:8080/site/pull.ashx?probeid=7", r.url, error));
    EXPECT_EQ(requestText(r),
              "GET /site/pull.ashx?probeid=7 HTTP/1.1\r\nHost: svc:8080\r\nUser-Agent: Heron\r\nAccept: */*\r\n"
              "Content-Type: multipart/form-data; boundary=AaB03x\r\nConnection: close\r\n\r\n");

    r.method = "POST";
    r.body = "abc";
    r.viaProxy = true;
    r.proxyAuthorization = basicCredentials("user", "pass");
    EXPECT_EQ(requestText(r),
              "POST http://svc:8080/site/pull.ashx?probeid=7 HTTP/1.1\r\nHost: svc:8080\r\nUser-Agent: Heron\r\n"
              "Accept: */*\r\nContent-Type: multipart/form-data; boundary=AaB03x\r\nContent-Length: 3\r\n"
              "Proxy-Authorization: Basic dXNlcjpwYXNz\r\nConnection: close\r\n\r\nabc");
}
