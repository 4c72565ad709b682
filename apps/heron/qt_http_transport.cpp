#include "apps/heron/qt_http_transport.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <optional>

#include "web_dump/http_wire.h"

namespace kvr::heron {

namespace {

// Error numbers as the user knows them from the HTTP client of the platform
// the readings were first fetched on.
constexpr int kCannotConnect = 12029;
constexpr int kNameNotResolved = 12007;
constexpr int kConnectionBroken = 12030;
constexpr int kInvalidAnswer = 12152;
constexpr int kProxySetupError = 12180;
constexpr int kMaxRedirects = 10;

// Where the connection goes: the data service itself, or an HTTP proxy that
// is handed the whole URL.
struct Route {
    std::string host;
    int port = 80;
    bool viaProxy = false;
    QNetworkProxy socketProxy{QNetworkProxy::NoProxy};  // a SOCKS proxy of the system's settings
    std::string user, password;                         // for the HTTP proxy
};

bool routeFor(const web::RequestProxy& p, const web::HttpUrl& url, Route& r, std::string& error) {
    r.host = url.host;
    r.port = url.port;
    switch (p.mode) {
    case web::ProxyMode::System: {
        QNetworkProxyFactory::setUseSystemConfiguration(true);
        QUrl asked(QString::fromStdString("http://" + web::hostAndPort(url) + "/"));
        auto list = QNetworkProxyFactory::systemProxyForQuery(QNetworkProxyQuery(asked));
        QNetworkProxy sys = list.isEmpty() ? QNetworkProxy(QNetworkProxy::NoProxy) : list.first();
        if (sys.type() == QNetworkProxy::HttpProxy || sys.type() == QNetworkProxy::HttpCachingProxy) {
            r.viaProxy = true;
            r.host = sys.hostName().toStdString();
            r.port = sys.port() ? sys.port() : 8080;
            r.user = p.username.empty() ? sys.user().toStdString() : p.username;
            r.password = p.username.empty() ? sys.password().toStdString() : p.password;
        } else if (sys.type() == QNetworkProxy::Socks5Proxy) {
            r.socketProxy = sys;
        }
        return true;
    }
    case web::ProxyMode::Named: {
        if (web::bypassesProxy(url.host, p.bypass) || web::bypassesProxy(web::hostAndPort(url), p.bypass))
            return true;
        std::string host;
        int port = 0;
        if (!web::splitHostPort(p.server, host, port)) {
            error = "The proxy server \"" + p.server + "\" is not a host name with an optional port.";
            return false;
        }
        r.viaProxy = true;
        r.host = host;
        r.port = port;
        r.user = p.username;
        r.password = p.password;
        return true;
    }
    case web::ProxyMode::Direct:
        break;
    }
    return true;
}

enum class Ending { Answer, Broken, SocketError, TimedOut };

// One connection carrying one request and its answer into `reader`. The
// wait lives on a local event loop, woken by the socket or by a tick that
// checks the silence limit and lets the caller's window breathe.
class Exchange {
public:
    Exchange(const Route& route, std::int64_t limitMs, const std::function<void()>& waitPass)
        : route_(route), limitMs_(limitMs), waitPass_(waitPass) {}
    ~Exchange() {
        // The socket's own teardown must not call back into a finished wait.
        socket_.disconnect();
        socket_.abort();
    }

    Ending run(const std::string& request, web::ResponseReader& reader) {
        socket_.setProxy(route_.socketProxy);
        // Qt keeps at most this much unread: memory stays flat however
        // large the answer is.
        socket_.setReadBufferSize(1 << 20);
        QObject::connect(&socket_, &QTcpSocket::connected, &loop_, [&] {
            silence_.restart();
            socket_.write(request.data(), static_cast<qint64>(request.size()));
        });
        QObject::connect(&socket_, &QTcpSocket::readyRead, &loop_, [&] { drain(reader); });
        QObject::connect(&socket_, &QTcpSocket::disconnected, &loop_, [&] { closed(reader); });
        QObject::connect(&socket_, &QTcpSocket::errorOccurred, &loop_, [&](QAbstractSocket::SocketError e) {
            if (e == QAbstractSocket::RemoteHostClosedError) {
                closed(reader);
            } else if (!finished_) {
                drain(reader);
                if (finished_) return;
                socketError_ = e;
                finish(Ending::SocketError);
            }
        });
        QTimer tick;
        tick.setInterval(QtHttpTransport::kTickMs);
        QObject::connect(&tick, &QTimer::timeout, &loop_, &QEventLoop::quit);
        tick.start();
        silence_.start();
        // An IPv6 literal is written in brackets in the URL, not to the socket.
        std::string host = route_.host;
        if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
        socket_.connectToHost(QString::fromStdString(host), static_cast<quint16>(route_.port));
        while (!finished_) {
            loop_.exec();
            if (finished_) break;
            if (silence_.elapsed() >= limitMs_) return Ending::TimedOut;
            waitPass_();  // may throw ProgramEnd: the destructor drops the connection
        }
        return ending_;
    }

    QAbstractSocket::SocketError socketError() const { return socketError_; }
    std::string socketErrorText() const { return socket_.errorString().toStdString(); }

private:
    void finish(Ending e) {
        if (finished_) return;
        finished_ = true;
        ending_ = e;
        loop_.quit();
    }
    void drain(web::ResponseReader& reader) {
        while (!finished_ && socket_.bytesAvailable() > 0) {
            QByteArray chunk = socket_.read(256 * 1024);
            if (chunk.isEmpty()) break;
            silence_.restart();
            bool ok = reader.feed(std::string_view(chunk.constData(), static_cast<std::size_t>(chunk.size())));
            if (!ok) finish(Ending::Broken);
            else if (reader.done()) finish(Ending::Answer);
        }
    }
    void closed(web::ResponseReader& reader) {
        drain(reader);
        if (!finished_) finish(reader.closed() ? Ending::Answer : Ending::Broken);
    }

    const Route& route_;
    std::int64_t limitMs_;
    const std::function<void()>& waitPass_;
    QEventLoop loop_;
    QElapsedTimer silence_;  // monotonic
    bool finished_ = false;
    Ending ending_ = Ending::Broken;
    QAbstractSocket::SocketError socketError_ = QAbstractSocket::UnknownSocketError;
    QTcpSocket socket_;  // last: goes first, before what its signals reach
};

}  // namespace

web::HttpOutcome QtHttpTransport::perform(const web::HttpRequestSpec& desc,
                                          const std::function<bool(std::string_view)>& onData,
                                          const std::function<void()>& waitPass) {
    web::HttpOutcome out;
    web::HttpRequestText request;
    if (!web::parseHttpUrl(desc.url, request.url, out.setupError)) {
        out.setupErrorText = " The URL \"" + desc.url + "\" is not valid.";
        return out;
    }
    Route route;
    std::string proxyError;
    if (!routeFor(desc.proxy, request.url, route, proxyError)) {
        out.setupError = kProxySetupError;
        out.setupErrorText = " " + proxyError;
        return out;
    }
    request.method = desc.method;
    request.contentType = desc.contentType;
    request.body = desc.body;
    request.viaProxy = route.viaProxy;

    // A proxy that asks for credentials is answered once with the stored
    // ones; a second refusal is the answer the user gets to see. Redirects
    // are followed over plain http, as the platform's client does, up to
    // a bound that stops a loop.
    bool proxyAnswered = false;
    int redirects = 0;
    for (;;) {
        web::HttpUrl next;
        // Whether this answer only leads to the next request: its page is
        // then not the answer and goes nowhere.
        auto leadsOn = [&](const web::ResponseReader& r) {
            if (r.status() == 407)
                return !proxyAnswered && route.viaProxy && !route.user.empty() &&
                       web::offersBasic(r.headers("Proxy-Authenticate"));
            if (!web::isRedirect(r.status()) || redirects >= kMaxRedirects) return false;
            auto location = r.headers("Location");
            return !location.empty() && web::followLocation(request.url, location.back(), next);
        };
        std::optional<bool> passing;  // decided at the first body byte
        web::ResponseReader* current = nullptr;
        web::ResponseReader reader(
            [&](std::string_view bytes) {
                if (!passing) passing = leadsOn(*current);
                return *passing || onData(bytes);
            },
            desc.method == "HEAD");
        current = &reader;

        Exchange exchange(route, desc.inactivityLimitMs, waitPass);
        Ending ending = exchange.run(web::requestText(request), reader);
        if (ending == Ending::TimedOut) {
            out.errorNumber = web::kTimeoutErrorNumber;
            out.errorText = "No answer data arrived for " + std::to_string(desc.inactivityLimitMs / 1000) +
                            " seconds; the request was ended.";
            return out;
        }
        if (reader.sinkFailed()) return out;  // the caller knows its sink failed
        if (reader.headersRead() && (passing ? *passing : leadsOn(reader))) {
            if (reader.status() == 407) {
                proxyAnswered = true;
                request.proxyAuthorization = web::basicCredentials(route.user, route.password);
                continue;
            }
            ++redirects;
            if (reader.status() == 303 || (request.method == "POST" && reader.status() <= 302)) {
                request.method = "GET";
                request.body.clear();
            }
            request.url = next;
            Route nextRoute;
            std::string unused;
            if (routeFor(desc.proxy, next, nextRoute, unused)) {
                if (nextRoute.host != route.host || nextRoute.port != route.port) request.proxyAuthorization.clear();
                route = nextRoute;
            }
            request.viaProxy = route.viaProxy;
            continue;
        }
        if (ending == Ending::SocketError) {
            auto e = exchange.socketError();
            out.errorNumber = e == QAbstractSocket::HostNotFoundError ? kNameNotResolved : kCannotConnect;
            out.errorText = (e == QAbstractSocket::HostNotFoundError
                                 ? "The server name or address could not be resolved: "
                                 : "A connection with the server could not be established: ") +
                            exchange.socketErrorText();
            return out;
        }
        if (ending == Ending::Broken) {
            // A cut answer is a failure even when its status was 200: its
            // readings would be short while the run counts them whole.
            out.errorNumber = reader.cutShort() ? kConnectionBroken : kInvalidAnswer;
            out.errorText = reader.error();
            return out;
        }
        out.haveStatus = true;
        out.status = reader.status();
        out.statusText = reader.reason();
        return out;
    }
}

}  // namespace kvr::heron
