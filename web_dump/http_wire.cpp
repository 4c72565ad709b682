#include "web_dump/http_wire.h"

#include <algorithm>
#include <cctype>

namespace kvr::web {

namespace {

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool equalNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return lower(x) == lower(y);
           });
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexValue(char c) {
    if (isDigit(c)) return c - '0';
    c = lower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Bytes a request line cannot carry as they are. The URL is built unescaped
// from what the user typed, so a blank in a date must not split the line.
bool needsEscape(unsigned char c) {
    return c <= 0x20 || c >= 0x7F || c == '"' || c == '<' || c == '>' || c == '\\' || c == '^' || c == '`' ||
           c == '{' || c == '|' || c == '}';
}

bool validHost(std::string_view h) {
    if (h.empty()) return false;
    if (h.front() == '[') {
        if (h.size() < 3 || h.back() != ']') return false;
        return std::all_of(h.begin() + 1, h.end() - 1,
                           [](char c) { return hexValue(c) >= 0 || c == ':' || c == '.'; });
    }
    return std::all_of(h.begin(), h.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
    });
}

}  // namespace

bool parseHttpUrl(const std::string& url, HttpUrl& out, int& errorNumber) {
    constexpr std::string_view kScheme = "http://";
    std::string_view u = trimmed(url);
    if (u.size() < kScheme.size() || !equalNoCase(u.substr(0, kScheme.size()), kScheme)) {
        errorNumber = u.find("://") == std::string_view::npos ? 12005 : 12006;
        return false;
    }
    u.remove_prefix(kScheme.size());
    std::size_t end = u.find_first_of("/?#");
    std::string_view authority = u.substr(0, end);
    std::string_view rest = end == std::string_view::npos ? std::string_view() : u.substr(end);
    errorNumber = 12005;
    if (authority.find('@') != std::string_view::npos) return false;

    std::string_view host = authority, port;
    std::size_t colon = authority.rfind(':');
    if (colon != std::string_view::npos && authority.find(']', colon) == std::string_view::npos) {
        host = authority.substr(0, colon);
        port = authority.substr(colon + 1);
    }
    if (!validHost(host)) return false;
    out.host = std::string(host);
    out.port = 80;
    if (!port.empty()) {
        if (port.size() > 5 || !std::all_of(port.begin(), port.end(), isDigit)) return false;
        out.port = std::stoi(std::string(port));
        if (out.port < 1 || out.port > 65535) return false;
    }

    rest = rest.substr(0, rest.find('#'));
    out.target.clear();
    if (rest.empty() || rest.front() == '?') out.target = "/";
    static const char* const kHex = "0123456789ABCDEF";
    for (char ch : rest) {
        auto c = static_cast<unsigned char>(ch);
        if (needsEscape(c)) {
            out.target += '%';
            out.target += kHex[c >> 4];
            out.target += kHex[c & 15];
        } else {
            out.target += ch;
        }
    }
    errorNumber = 0;
    return true;
}

bool followLocation(const HttpUrl& base, const std::string& location, HttpUrl& out) {
    std::string_view loc = trimmed(location);
    if (loc.empty()) return false;
    std::string absolute;
    if (loc.find("://") != std::string_view::npos) {
        absolute = std::string(loc);
    } else if (loc.substr(0, 2) == "//") {
        absolute = "http:" + std::string(loc);
    } else if (loc.front() == '/') {
        absolute = "http://" + hostAndPort(base) + std::string(loc);
    } else {
        // Relative to the folder of the path, without the query.
        std::string path = base.target.substr(0, base.target.find('?'));
        absolute = "http://" + hostAndPort(base) + path.substr(0, path.rfind('/') + 1) + std::string(loc);
    }
    int error = 0;
    return parseHttpUrl(absolute, out, error);
}

std::string hostAndPort(const HttpUrl& url) {
    std::string s = url.host;
    if (url.port != 80) {
        s += ':';
        s += std::to_string(url.port);
    }
    return s;
}

std::string requestText(const HttpRequestText& r) {
    const std::string host = hostAndPort(r.url);
    std::string t = r.method;
    t += ' ';
    if (r.viaProxy) {
        t += "http://";
        t += host;
    }
    t += r.url.target;
    t += " HTTP/1.1\r\nHost: ";
    t += host;
    t += "\r\nUser-Agent: Heron\r\nAccept: */*\r\n";
    if (!r.contentType.empty()) {
        t += "Content-Type: ";
        t += r.contentType;
        t += "\r\n";
    }
    if (r.method == "POST" || !r.body.empty()) {
        t += "Content-Length: ";
        t += std::to_string(r.body.size());
        t += "\r\n";
    }
    if (!r.proxyAuthorization.empty()) {
        t += "Proxy-Authorization: ";
        t += r.proxyAuthorization;
        t += "\r\n";
    }
    // One answer per connection: its end is then never in doubt.
    t += "Connection: close\r\n\r\n";
    t += r.body;
    return t;
}

std::string base64(std::string_view bytes) {
    static const char* const kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16 | static_cast<unsigned char>(bytes[i + 1]) << 8 |
                     static_cast<unsigned char>(bytes[i + 2]);
        for (int s = 18; s >= 0; s -= 6) out += kAlphabet[(v >> s) & 63];
    }
    std::size_t left = bytes.size() - i;
    if (left > 0) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (left == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += left == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string basicCredentials(const std::string& user, const std::string& password) {
    return "Basic " + base64(user + ":" + password);
}

bool offersBasic(const std::vector<std::string>& challenges) {
    for (const std::string& c : challenges) {
        // Several challenges may share one header, comma-separated; a scheme
        // name stands at the start or right after a comma.
        std::string_view v = c;
        std::size_t pos = 0;
        while (pos <= v.size()) {
            std::string_view part = trimmed(v.substr(pos, v.find(',', pos) - pos));
            if (part.size() >= 5 && equalNoCase(part.substr(0, 5), "basic") &&
                (part.size() == 5 || part[5] == ' ' || part[5] == '\t'))
                return true;
            std::size_t comma = v.find(',', pos);
            if (comma == std::string_view::npos) break;
            pos = comma + 1;
        }
    }
    return false;
}

ResponseReader::ResponseReader(std::function<bool(std::string_view)> onBody, bool headRequest)
    : onBody_(std::move(onBody)), headRequest_(headRequest) {}

std::vector<std::string> ResponseReader::headers(std::string_view name) const {
    std::vector<std::string> values;
    for (const auto& [n, v] : headers_)
        if (equalNoCase(n, name)) values.push_back(v);
    return values;
}

bool ResponseReader::fail(std::string why) {
    if (state_ != State::Failed) {
        state_ = State::Failed;
        error_ = std::move(why);
    }
    return false;
}

bool ResponseReader::takeLine(std::string_view& bytes, std::string& line) {
    std::size_t nl = bytes.find('\n');
    std::string_view part = bytes.substr(0, nl);
    if (line_.size() + part.size() > kMaxHeadBytes) return fail("The server's answer has a line that is too long.");
    line_.append(part);
    if (nl == std::string_view::npos) {
        bytes = {};
        return false;
    }
    bytes.remove_prefix(nl + 1);
    if (!line_.empty() && line_.back() == '\r') line_.pop_back();
    line = std::move(line_);
    line_.clear();
    headBytes_ += line.size() + 2;
    if (headBytes_ > kMaxHeadBytes) return fail("The server's answer has a header that is too long.");
    return true;
}

bool ResponseReader::headLine(std::string_view line) {
    if (state_ == State::StatusLine) {
        if (line.empty()) return true;  // stray line break ahead of the answer
        // "HTTP/1.1 200 OK": version, three digits, optional reason.
        if (line.size() < 12 || line.substr(0, 5) != "HTTP/" || line.find(' ') == std::string_view::npos)
            return fail("The server's answer does not begin with an HTTP status line.");
        std::string_view code = line.substr(line.find(' ') + 1);
        if (code.size() < 3 || !std::all_of(code.begin(), code.begin() + 3, isDigit) ||
            (code.size() > 3 && code[3] != ' '))
            return fail("The server's answer does not begin with an HTTP status line.");
        status_ = (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
        if (status_ < 100) return fail("The server's answer has an invalid status.");
        reason_ = code.size() > 4 ? std::string(trimmed(code.substr(4))) : std::string();
        headers_.clear();
        state_ = State::Headers;
        return true;
    }
    if (line.empty()) {
        if (status_ == 101) return fail("The server switched to another protocol.");
        if (status_ < 200) {  // an interim answer: the real one follows
            state_ = State::StatusLine;
            return true;
        }
        return startBody();
    }
    if (line.front() == ' ' || line.front() == '\t') {  // folded continuation
        if (headers_.empty()) return fail("The server's answer has an invalid header.");
        headers_.back().second += ' ';
        headers_.back().second += trimmed(line);
        return true;
    }
    std::size_t colon = line.find(':');
    std::string_view name = line.substr(0, colon);
    if (colon == std::string_view::npos || name.empty() ||
        std::any_of(name.begin(), name.end(), [](char c) { return c == ' ' || c == '\t'; }))
        return fail("The server's answer has an invalid header.");
    headers_.emplace_back(std::string(name), std::string(trimmed(line.substr(colon + 1))));
    return true;
}

bool ResponseReader::startBody() {
    headBytes_ = 0;
    headComplete_ = true;
    if (headRequest_ || status_ == 204 || status_ == 304) {
        state_ = State::Done;
        return true;
    }
    auto codings = headers("Transfer-Encoding");
    if (!codings.empty()) {
        // Only a final "chunked" marks the end in the body; any other coding
        // runs to the connection's close.
        std::string_view last = trimmed(std::string_view(codings.back()));
        std::size_t comma = last.rfind(',');
        if (comma != std::string_view::npos) last = trimmed(last.substr(comma + 1));
        framing_ = equalNoCase(last, "chunked") ? Framing::Chunked : Framing::UntilClose;
        chunk_ = Chunk::Size;
        state_ = State::Body;
        return true;
    }
    auto lengths = headers("Content-Length");
    if (!lengths.empty()) {
        // Repeated lengths must agree, or the end of the body is a guess.
        bool have = false;
        std::uint64_t length = 0;
        for (const std::string& all : lengths) {
            std::string_view v = all;
            while (true) {
                std::size_t comma = v.find(',');
                std::string_view one = trimmed(v.substr(0, comma));
                if (one.empty() || one.size() > 18 || !std::all_of(one.begin(), one.end(), isDigit))
                    return fail("The server's answer has an invalid Content-Length.");
                std::uint64_t n = std::stoull(std::string(one));
                if (have && n != length) return fail("The server's answer has conflicting Content-Length values.");
                have = true;
                length = n;
                if (comma == std::string_view::npos) break;
                v.remove_prefix(comma + 1);
            }
        }
        framing_ = Framing::Length;
        left_ = length;
        state_ = length == 0 ? State::Done : State::Body;
        return true;
    }
    framing_ = Framing::UntilClose;
    state_ = State::Body;
    return true;
}

bool ResponseReader::deliver(std::string_view bytes) {
    if (bytes.empty() || onBody_(bytes)) return true;
    sinkFailed_ = true;
    return fail("The answer could not be stored.");
}

std::string_view ResponseReader::takeCounted(std::string_view& bytes) {
    auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left_, bytes.size()));
    std::string_view part = bytes.substr(0, n);
    bytes.remove_prefix(n);
    left_ -= n;
    return part;
}

bool ResponseReader::body(std::string_view& bytes) {
    switch (framing_) {
    case Framing::UntilClose: {
        std::string_view all = bytes;
        bytes = {};
        return deliver(all);
    }
    case Framing::Length: {
        std::string_view part = takeCounted(bytes);
        if (left_ == 0) state_ = State::Done;
        return deliver(part);
    }
    case Framing::Chunked:
        break;
    case Framing::None:
        state_ = State::Done;
        return true;
    }

    std::string line;
    switch (chunk_) {
    case Chunk::Size: {
        if (!takeLine(bytes, line)) return state_ != State::Failed;
        std::string_view size = trimmed(std::string_view(line).substr(0, line.find(';')));
        if (size.empty() || size.size() > 15 ||
            !std::all_of(size.begin(), size.end(), [](char c) { return hexValue(c) >= 0; }))
            return fail("The server's answer has an invalid chunk size.");
        left_ = 0;
        for (char c : size) left_ = left_ * 16 + static_cast<std::uint64_t>(hexValue(c));
        headBytes_ = 0;
        chunk_ = left_ == 0 ? Chunk::Trailers : Chunk::Data;
        return true;
    }
    case Chunk::Data: {
        std::string_view part = takeCounted(bytes);
        if (left_ == 0) chunk_ = Chunk::DataEnd;
        return deliver(part);
    }
    case Chunk::DataEnd:
        if (!takeLine(bytes, line)) return state_ != State::Failed;
        if (!line.empty()) return fail("The server's answer has a chunk longer than its size.");
        chunk_ = Chunk::Size;
        return true;
    case Chunk::Trailers:
        if (!takeLine(bytes, line)) return state_ != State::Failed;
        if (line.empty()) state_ = State::Done;
        return true;
    }
    return true;
}

bool ResponseReader::feed(std::string_view bytes) {
    while (!bytes.empty()) {
        switch (state_) {
        case State::StatusLine:
        case State::Headers: {
            std::string line;
            if (!takeLine(bytes, line)) return state_ != State::Failed;
            if (!headLine(line)) return false;
            break;
        }
        case State::Body:
            if (!body(bytes)) return false;
            break;
        case State::Done:
            return true;
        case State::Failed:
            return false;
        }
    }
    return state_ != State::Failed;
}

bool ResponseReader::closed() {
    if (state_ == State::Body && framing_ == Framing::UntilClose) state_ = State::Done;
    if (state_ == State::Done) return true;
    if (state_ == State::Failed) return false;
    cutShort_ = true;
    return fail(state_ == State::StatusLine && status_ == 0 && line_.empty()
                    ? "The server closed the connection without an answer."
                    : "The connection with the server was terminated before the answer was complete.");
}

}  // namespace kvr::web
