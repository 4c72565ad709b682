#include "apps/heron/qt_http_transport.h"

#include <QAuthenticator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <memory>

namespace kvr::heron {

namespace {

QNetworkProxy proxyFor(const web::RequestProxy& p, const QUrl& url, QString& error) {
    switch (p.mode) {
    case web::ProxyMode::System: {
        QNetworkProxyFactory::setUseSystemConfiguration(true);
        auto list = QNetworkProxyFactory::systemProxyForQuery(QNetworkProxyQuery(url));
        return list.isEmpty() ? QNetworkProxy(QNetworkProxy::NoProxy) : list.first();
    }
    case web::ProxyMode::Named: {
        if (web::bypassesProxy(url.host().toStdString(), p.bypass) ||
            web::bypassesProxy(url.authority().toStdString(), p.bypass))
            return QNetworkProxy(QNetworkProxy::NoProxy);
        std::string host;
        int port = 0;
        if (!web::splitHostPort(p.server, host, port)) {
            error = QStringLiteral("The proxy server \"%1\" is not a host name with an optional port.")
                        .arg(QString::fromStdString(p.server));
            return QNetworkProxy(QNetworkProxy::NoProxy);
        }
        QNetworkProxy proxy(QNetworkProxy::HttpProxy, QString::fromStdString(host), static_cast<quint16>(port));
        if (!p.username.empty()) {
            proxy.setUser(QString::fromStdString(p.username));
            proxy.setPassword(QString::fromStdString(p.password));
        }
        return proxy;
    }
    case web::ProxyMode::Direct:
        break;
    }
    return QNetworkProxy(QNetworkProxy::NoProxy);
}

// Aborts and frees the reply however the wait ends (ProgramEnd included).
struct ReplyGuard {
    QPointer<QNetworkReply> reply;
    ~ReplyGuard() {
        if (reply) {
            reply->disconnect();
            reply->abort();
            delete reply.data();
        }
    }
};

}  // namespace

web::HttpOutcome QtHttpTransport::perform(const web::HttpRequestSpec& desc,
                                          const std::function<bool(std::string_view)>& onData,
                                          const std::function<void()>& waitPass) {
    web::HttpOutcome out;
    QUrl url(QString::fromStdString(desc.url), QUrl::TolerantMode);
    if (!url.isValid() || url.host().isEmpty() || (url.scheme() != "http" && url.scheme() != "https")) {
        out.setupError = 12005;  // the URL is not accepted
        out.setupErrorText = " The URL \"" + desc.url + "\" is not valid.";
        return out;
    }
    QString proxyError;
    QNetworkProxy proxy = proxyFor(desc.proxy, url, proxyError);
    if (!proxyError.isEmpty()) {
        out.setupError = 12180;
        out.setupErrorText = " " + proxyError.toStdString();
        return out;
    }

    QNetworkAccessManager manager;
    manager.setProxy(proxy);
    manager.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    // Answer the proxy's challenge once with the stored credentials; a second
    // challenge means they were refused, and asking again would loop.
    bool answered = false;
    QObject::connect(&manager, &QNetworkAccessManager::proxyAuthenticationRequired,
                     [&](const QNetworkProxy&, QAuthenticator* auth) {
                         if (answered || desc.proxy.username.empty()) return;
                         answered = true;
                         auth->setUser(QString::fromStdString(desc.proxy.username));
                         auth->setPassword(QString::fromStdString(desc.proxy.password));
                     });

    QNetworkRequest request(url);
    request.setRawHeader("Content-Type", QByteArray::fromStdString(desc.contentType));
    request.setTransferTimeout(0);  // our own inactivity limit applies

    ReplyGuard guard;
    if (desc.method == "POST")
        guard.reply = manager.post(request, QByteArray::fromStdString(desc.body));
    else
        guard.reply = manager.sendCustomRequest(request, QByteArray::fromStdString(desc.method));
    QNetworkReply* reply = guard.reply;
    reply->setReadBufferSize(kReadBufferBytes);

    QEventLoop loop;
    QTimer tick;
    tick.setInterval(kTickMs);
    QElapsedTimer lastData;  // monotonic
    lastData.start();
    bool finished = false;
    bool sinkFailed = false;

    auto drain = [&] {
        if (sinkFailed) return;
        while (reply->bytesAvailable() > 0) {
            QByteArray chunk = reply->read(256 * 1024);
            if (chunk.isEmpty()) break;
            lastData.restart();
            if (!onData(std::string_view(chunk.constData(), static_cast<std::size_t>(chunk.size())))) {
                sinkFailed = true;
                loop.quit();
                return;
            }
        }
    };
    QObject::connect(reply, &QNetworkReply::readyRead, &loop, drain);
    QObject::connect(reply, &QNetworkReply::metaDataChanged, &loop, [&] { lastData.restart(); });
    QObject::connect(reply, &QNetworkReply::finished, &loop, [&] {
        drain();
        finished = true;
        loop.quit();
    });
    QObject::connect(&tick, &QTimer::timeout, &loop, &QEventLoop::quit);
    tick.start();

    bool timedOut = false;
    while (!finished && !sinkFailed) {
        loop.exec();
        if (finished || sinkFailed) break;
        if (lastData.elapsed() >= desc.inactivityLimitMs) {
            timedOut = true;
            break;
        }
        waitPass();  // may throw ProgramEnd: the guard aborts the request
    }
    tick.stop();

    if (timedOut) {
        out.errorNumber = web::kTimeoutErrorNumber;
        out.errorText = "No answer data arrived for " + std::to_string(desc.inactivityLimitMs / 1000) +
                        " seconds; the request was ended.";
        return out;
    }
    if (sinkFailed) return out;  // the caller knows its sink failed

    QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // A 200 whose body broke off (connection closed before the end) is not
    // an answer: its readings would be cut short while the run counts it whole.
    if (status.isValid() && status.toInt() == 200 && reply->error() != QNetworkReply::NoError) {
        out.errorNumber = static_cast<int>(reply->error());
        out.errorText = reply->errorString().toStdString();
        return out;
    }
    if (status.isValid()) {
        out.haveStatus = true;
        out.status = status.toInt();
        out.statusText = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString().toStdString();
        return out;
    }
    if (reply->error() != QNetworkReply::NoError) {
        // Qt's network error codes are all above 0 and below the time limit's number.
        out.errorNumber = static_cast<int>(reply->error());
        out.errorText = reply->errorString().toStdString();
    }
    return out;
}

}  // namespace kvr::heron
