#include "apps/heron/curl_transport.h"

#include <curl/curl.h>

#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QUrl>

#include <chrono>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <set>

namespace kvr::heron {

namespace {

// Error numbers as the user knows them from the HTTP client of the platform
// the readings were first fetched on.
constexpr int kInvalidUrl = 12005;
constexpr int kUnknownScheme = 12006;
constexpr int kNameNotResolved = 12007;
constexpr int kCannotConnect = 12029;
constexpr int kConnectionBroken = 12030;
constexpr int kInvalidAnswer = 12152;
constexpr int kRedirectFailed = 12156;
constexpr int kSecureFailure = 12175;
constexpr int kProxySetupError = 12180;

int errorNumberOf(CURLcode c) {
    switch (c) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return kNameNotResolved;
    case CURLE_COULDNT_CONNECT:
        return kCannotConnect;
    case CURLE_OPERATION_TIMEDOUT:
        return web::kTimeoutErrorNumber;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
        return kConnectionBroken;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
        return kSecureFailure;
    case CURLE_TOO_MANY_REDIRECTS:
        return kRedirectFailed;
    default:
        return kInvalidAnswer;
    }
}

struct Url {
    std::string scheme, host, port;
};

// Scheme and host of an absolute http or https URL; 0 when it is one, else
// the error number the user sees.
int parseUrl(const std::string& text, Url& out) {
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> u(curl_url(), curl_url_cleanup);
    if (!u) return kInvalidUrl;
    CURLUcode rc = curl_url_set(u.get(), CURLUPART_URL, text.c_str(), 0);
    if (rc == CURLUE_UNSUPPORTED_SCHEME) return kUnknownScheme;
    if (rc != CURLUE_OK) return kInvalidUrl;
    auto part = [&](CURLUPart which, std::string& to) {
        char* p = nullptr;
        if (curl_url_get(u.get(), which, &p, CURLU_DEFAULT_PORT) != CURLUE_OK || !p) return false;
        to = p;
        curl_free(p);
        return true;
    };
    if (!part(CURLUPART_SCHEME, out.scheme) || !part(CURLUPART_HOST, out.host) || !part(CURLUPART_PORT, out.port))
        return kInvalidUrl;
    if (out.scheme != "http" && out.scheme != "https") return kUnknownScheme;
    return 0;
}

// The proxy one request goes through: "" for none.
struct Route {
    std::string proxy, user, password;
};

bool routeFor(const web::RequestProxy& p, const std::string& url, const Url& parts, Route& r, std::string& error) {
    switch (p.mode) {
    case web::ProxyMode::System: {
        QNetworkProxyFactory::setUseSystemConfiguration(true);
        auto list = QNetworkProxyFactory::systemProxyForQuery(QNetworkProxyQuery(QUrl(QString::fromStdString(url))));
        QNetworkProxy sys = list.isEmpty() ? QNetworkProxy(QNetworkProxy::NoProxy) : list.first();
        std::string where = sys.hostName().toStdString() + ":" + std::to_string(sys.port() ? sys.port() : 8080);
        if (sys.type() == QNetworkProxy::HttpProxy || sys.type() == QNetworkProxy::HttpCachingProxy)
            r.proxy = "http://" + where;
        else if (sys.type() == QNetworkProxy::Socks5Proxy)
            r.proxy = "socks5h://" + where;
        else
            return true;
        r.user = p.username.empty() ? sys.user().toStdString() : p.username;
        r.password = p.username.empty() ? sys.password().toStdString() : p.password;
        return true;
    }
    case web::ProxyMode::Named: {
        if (web::bypassesProxy(parts.host, p.bypass) || web::bypassesProxy(parts.host + ":" + parts.port, p.bypass))
            return true;
        std::string host;
        int port = 0;
        if (!web::proxyFor(p.server, parts.scheme, host, port)) {
            error = "The proxy server \"" + p.server + "\" names no usable host (with an optional port) for " +
                    parts.scheme + ".";
            return false;
        }
        r.proxy = "http://" + host + ":" + std::to_string(port);
        r.user = p.username;
        r.password = p.password;
        return true;
    }
    case web::ProxyMode::Direct:
        break;
    }
    return true;
}

char lower(char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); }

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (lower(text[i]) != prefix[i]) return false;
    return true;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

bool isRedirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// What the callbacks of one transfer share. The answer fields describe the
// answer now arriving: a proxy's or a redirect's answer comes before the last.
struct Transfer {
    Transfer(const std::function<bool(std::string_view)>& data, const std::function<void()>& pass, std::int64_t ms)
        : onData(data), waitPass(pass), limitMs(ms) {}
    const std::function<bool(std::string_view)>& onData;
    const std::function<void()>& waitPass;
    std::int64_t limitMs;
    std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();
    curl_off_t lastDown = -1, lastUp = -1;
    bool timedOut = false, sinkFailed = false;
    std::exception_ptr ended;  // the wait pass ended the program

    long status = 0;
    std::string reason;
    bool hasLocation = false, chunked = false;
    std::set<std::string> lengths;
    std::string badAnswer;
    std::uint64_t bodyBytes = 0;
    char lastByte = 0;

    void touch() { lastActivity = std::chrono::steady_clock::now(); }
    // A redirect's own page is not the answer and goes nowhere.
    bool leadsOn() const { return isRedirect(status) && hasLocation; }

    static std::size_t header(char* data, std::size_t size, std::size_t count, void* self) {
        auto& t = *static_cast<Transfer*>(self);
        std::string_view line(data, size * count);
        t.touch();
        if (line.rfind("HTTP/", 0) == 0) {
            t.status = 0;
            t.reason.clear();
            t.hasLocation = t.chunked = false;
            t.lengths.clear();
            auto sp = line.find(' ');
            if (sp != std::string_view::npos) {
                std::string_view rest = trimmed(line.substr(sp + 1));
                for (std::size_t i = 0; i < rest.size() && i < 3 && rest[i] >= '0' && rest[i] <= '9'; ++i)
                    t.status = t.status * 10 + (rest[i] - '0');
                if (rest.size() > 3) t.reason = std::string(trimmed(rest.substr(3)));
            }
        } else if (trimmed(line).empty()) {
            // libcurl takes one of several Content-Length values; which one
            // is right cannot be known, and a wrong one cuts or pads readings.
            if (t.lengths.size() > 1) {
                t.badAnswer = "The answer gives conflicting Content-Length values.";
                return 0;
            }
        } else if (startsWithNoCase(line, "content-length:")) {
            std::string_view values = line.substr(15);
            while (!values.empty()) {
                auto comma = values.find(',');
                t.lengths.insert(std::string(trimmed(values.substr(0, comma))));
                values = comma == std::string_view::npos ? std::string_view() : values.substr(comma + 1);
            }
        } else if (startsWithNoCase(line, "transfer-encoding:")) {
            std::string value;
            for (char c : line.substr(18)) value += lower(c);
            t.chunked = t.chunked || value.find("chunked") != std::string::npos;
        } else if (startsWithNoCase(line, "location:")) {
            t.hasLocation = !trimmed(line.substr(9)).empty();
        }
        return size * count;
    }

    static std::size_t body(char* data, std::size_t size, std::size_t count, void* self) {
        auto& t = *static_cast<Transfer*>(self);
        std::size_t n = size * count;
        t.touch();
        if (n == 0 || t.leadsOn()) return n;
        t.bodyBytes += n;
        t.lastByte = data[n - 1];
        if (!t.onData(std::string_view(data, n))) {
            t.sinkFailed = true;
            return 0;
        }
        return n;
    }

    // Called on every pass of libcurl's wait (at least about once a second):
    // the silence limit and the window's turn live here.
    static int progress(void* self, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
        auto& t = *static_cast<Transfer*>(self);
        if (down != t.lastDown || up != t.lastUp) {
            t.lastDown = down;
            t.lastUp = up;
            t.touch();
        }
        if (std::chrono::steady_clock::now() - t.lastActivity >= std::chrono::milliseconds(t.limitMs)) {
            t.timedOut = true;
            return 1;
        }
        try {
            t.waitPass();
        } catch (...) {
            // An exception must not cross libcurl's C frames: the transfer
            // is ended here and the exception goes on after it.
            t.ended = std::current_exception();
            return 1;
        }
        return 0;
    }
};

std::string caFileFor(const web::HttpRequestSpec& desc) {
    if (!desc.caFile.empty()) return desc.caFile;
    for (const char* name : {"CURL_CA_BUNDLE", "SSL_CERT_FILE"})
        if (const char* v = std::getenv(name); v && *v) return v;
    return {};
}

}  // namespace

CurlTransport::CurlTransport() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    handle_ = curl_easy_init();
}

CurlTransport::~CurlTransport() {
    if (handle_) curl_easy_cleanup(handle_);
}

web::HttpOutcome CurlTransport::perform(const web::HttpRequestSpec& desc,
                                        const std::function<bool(std::string_view)>& onData,
                                        const std::function<void()>& waitPass) {
    web::HttpOutcome out;
    std::string url = desc.url, method = desc.method;
    const std::string caFile = caFileFor(desc);
    const char* caDir = std::getenv("SSL_CERT_DIR");

    // Redirects are followed here rather than by libcurl so that each hop
    // gets its own proxy decision (bypass list, scheme-specific proxy).
    for (int redirects = 0;; ++redirects) {
        Url parts;
        if (int e = parseUrl(url, parts); e != 0) {
            if (redirects == 0) {
                out.setupError = e;
                out.setupErrorText = "The URL \"" + url + "\" is not valid.";
            } else {
                out.errorNumber = kRedirectFailed;
                out.errorText = "The server redirected to \"" + url + "\", which cannot be followed.";
            }
            return out;
        }
        Route route;
        std::string proxyError;
        if (!routeFor(desc.proxy, url, parts, route, proxyError)) {
            out.setupError = kProxySetupError;
            out.setupErrorText = proxyError;
            return out;
        }

        std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(nullptr, curl_slist_free_all);
        if (!handle_) {
            out.setupError = kInvalidAnswer;
            out.setupErrorText = "The HTTP library could not start a request.";
            return out;
        }
        const std::string contentType = "Content-Type: " + desc.contentType;
        headers.reset(curl_slist_append(nullptr, contentType.c_str()));
        headers.reset(curl_slist_append(headers.release(), "Expect:"));
        Transfer t{onData, waitPass, desc.inactivityLimitMs};
        char errorText[CURL_ERROR_SIZE] = "";
        // Every option a request uses is set again: the handle keeps the last.
        CURL* c = handle_;
        curl_easy_setopt(c, CURLOPT_URL, url.c_str());
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorText);
        curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
        // One answer framing at a time keeps our own checks below meaningful.
        curl_easy_setopt(c, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
        curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, "");  // every coding libcurl decodes
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(c, CURLOPT_PROXY, route.proxy.c_str());  // "": none, not even from the environment
        curl_easy_setopt(c, CURLOPT_PROXYUSERNAME, route.user.empty() ? nullptr : route.user.c_str());
        curl_easy_setopt(c, CURLOPT_PROXYPASSWORD, route.user.empty() ? nullptr : route.password.c_str());
        curl_easy_setopt(c, CURLOPT_PROXYAUTH, CURLAUTH_ANY);
        if (!caFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, caFile.c_str());
        if (caDir && *caDir) curl_easy_setopt(c, CURLOPT_CAPATH, caDir);
        curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &Transfer::header);
        curl_easy_setopt(c, CURLOPT_HEADERDATA, &t);
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Transfer::body);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, &t);
        curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &Transfer::progress);
        curl_easy_setopt(c, CURLOPT_XFERINFODATA, &t);
        curl_easy_setopt(c, CURLOPT_NOBODY, 0L);
        if (method == "POST") {
            curl_easy_setopt(c, CURLOPT_POSTFIELDS, desc.body.data());
            curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(desc.body.size()));
        } else if (method == "HEAD") {
            curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
        } else {
            curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
        }

        CURLcode rc = curl_easy_perform(c);
        // errorText and the header list end with this pass.
        curl_easy_setopt(c, CURLOPT_ERRORBUFFER, nullptr);
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, nullptr);
        if (t.ended) std::rethrow_exception(t.ended);
        if (t.sinkFailed) return out;  // the caller knows its sink failed
        if (t.timedOut || rc == CURLE_OPERATION_TIMEDOUT) {
            out.errorNumber = web::kTimeoutErrorNumber;
            out.errorText = "No answer data arrived for " + std::to_string(desc.inactivityLimitMs / 1000) +
                            " seconds; the request was ended.";
            return out;
        }
        if (!t.badAnswer.empty()) {
            out.errorNumber = kInvalidAnswer;
            out.errorText = t.badAnswer;
            return out;
        }
        if (rc != CURLE_OK) {
            out.errorNumber = errorNumberOf(rc);
            out.errorText = errorText[0] ? errorText : curl_easy_strerror(rc);
            return out;
        }
        char* next = nullptr;
        if (t.leadsOn() && curl_easy_getinfo(c, CURLINFO_REDIRECT_URL, &next) == CURLE_OK && next) {
            if (redirects >= kMaxRedirects) {
                out.errorNumber = kRedirectFailed;
                out.errorText = "More than " + std::to_string(kMaxRedirects) +
                                " redirects in a row; the request was ended.";
                return out;
            }
            if (t.status == 303 || (method == "POST" && t.status <= 302)) method = "GET";
            url = next;
            continue;
        }
        // An answer that ends with the connection cannot tell a reset or a
        // cut from its end; the service ends every line, so a last line
        // without its end is a cut, and its row would be wrong. (Other
        // statuses keep their own message: their page becomes no row.)
        if (t.status == 200 && !t.chunked && t.lengths.empty() && t.bodyBytes > 0 && t.lastByte != '\n') {
            out.errorNumber = kConnectionBroken;
            out.errorText = "The connection closed in the middle of a line; the answer is incomplete.";
            return out;
        }
        out.haveStatus = true;
        out.status = static_cast<int>(t.status);
        out.statusText = t.reason;
        return out;
    }
}

}  // namespace kvr::heron
