// HTTP/1.1 on the wire, without the network: the request text we send and a
// reader for the answer that knows where the answer's body ends.
//
// Knowing the end is the point. A connection that closes halfway through a
// chunked answer or short of its Content-Length is a broken answer; taking it
// for a whole one would move the run's start date past readings that never
// arrived. Only an answer that declares neither ends with the connection.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kvr::web {

struct HttpUrl {
    std::string host;
    int port = 80;
    std::string target;  // path and query, "/" when the URL has none
};

// Reads "http://host[:port][/path][?query]". The text is taken as it stands
// (nothing is escaped), as the data service's URLs are built. Returns false
// with a WinHTTP-style error number: 12006 for another scheme, 12005 for a
// URL that is not valid.
bool parseHttpUrl(const std::string& url, HttpUrl& out, int& errorNumber);

// Where a redirect's Location sends a request made to `base`: an absolute
// http URL, "//host/path", "/path" or a path relative to base's folder.
// False for anything that cannot be followed over plain http (https, say).
bool followLocation(const HttpUrl& base, const std::string& location, HttpUrl& out);

// Statuses whose Location is followed, as the platform's HTTP client does.
inline bool isRedirect(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// "host" or "host:port" as the Host header and absolute URLs write it.
std::string hostAndPort(const HttpUrl& url);

struct HttpRequestText {
    std::string method;
    HttpUrl url;
    std::string contentType;
    std::string body;
    bool viaProxy = false;            // absolute URL in the request line
    std::string proxyAuthorization;   // full header value, empty for none
};

std::string requestText(const HttpRequestText& r);

// "Basic " + base64 of "user:password".
std::string basicCredentials(const std::string& user, const std::string& password);

std::string base64(std::string_view bytes);

// Whether one of the Proxy-Authenticate values offers the Basic scheme.
bool offersBasic(const std::vector<std::string>& challenges);

class ResponseReader {
public:
    enum class State { StatusLine, Headers, Body, Done, Failed };

    // onBody receives the body as it arrives, chunk framing removed; it
    // returns false when the bytes cannot be kept, which fails the reader.
    // headRequest: the answer to HEAD has no body whatever its headers say.
    explicit ResponseReader(std::function<bool(std::string_view)> onBody, bool headRequest = false);

    // Takes the next bytes of the connection. Bytes after the answer's end
    // are ignored. Returns false once the reader has failed.
    bool feed(std::string_view bytes);
    // The connection closed. True when the answer was whole at that point.
    bool closed();

    State state() const { return state_; }
    bool done() const { return state_ == State::Done; }
    bool headersRead() const { return headComplete_; }
    // Why the reader failed; empty while it has not.
    const std::string& error() const { return error_; }
    bool sinkFailed() const { return sinkFailed_; }
    // The connection closed before the answer was whole (as against an
    // answer that broke the protocol).
    bool cutShort() const { return cutShort_; }

    int status() const { return status_; }
    const std::string& reason() const { return reason_; }
    // Values of every header of that name (any case), in order.
    std::vector<std::string> headers(std::string_view name) const;

    // Largest status line and header block accepted.
    static constexpr std::size_t kMaxHeadBytes = 64 * 1024;

private:
    enum class Framing { None, Length, Chunked, UntilClose };
    enum class Chunk { Size, Data, DataEnd, Trailers };

    bool fail(std::string why);
    bool headLine(std::string_view line);
    bool startBody();
    bool body(std::string_view& bytes);
    bool deliver(std::string_view bytes);
    // Up to left_ bytes of body or chunk data, taken off the front.
    std::string_view takeCounted(std::string_view& bytes);
    // Takes one line (LF or CR LF ended) into line_; false when more bytes are needed.
    bool takeLine(std::string_view& bytes, std::string& line);

    std::function<bool(std::string_view)> onBody_;
    bool headRequest_;
    State state_ = State::StatusLine;
    std::string error_;
    bool sinkFailed_ = false;
    bool cutShort_ = false;
    bool headComplete_ = false;

    std::string line_;
    std::size_t headBytes_ = 0;
    int status_ = 0;
    std::string reason_;
    std::vector<std::pair<std::string, std::string>> headers_;

    Framing framing_ = Framing::None;
    Chunk chunk_ = Chunk::Size;
    std::uint64_t left_ = 0;  // body or chunk bytes still to come
};

}  // namespace kvr::web
