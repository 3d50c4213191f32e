#include "CloudAPI.h"

#include "Json.h"
#include "Log.h"

#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>

namespace core {

namespace {

const QByteArray kJson = "application/json";

QString httpError(const char* what, int status) { return QStringLiteral("%1: HTTP %2").arg(QLatin1String(what)).arg(status); }

// Errors of the transfer itself (connection, time-out, cancel, proxy, protocol), as opposed to the
// error codes Qt derives from an HTTP status.
bool transportError(QNetworkReply::NetworkError e)
{
    const int code = static_cast<int>(e);
    return (code >= 1 && code < 200) || (code >= 300 && code < 400);
}

// The request's path for the log, without the pairing code that follows "v1/pair/".
QString shownPath(const QUrl& url)
{
    QString path = url.path();
    const QString pair = QStringLiteral("/v1/pair/");
    const qsizetype at = path.indexOf(pair);
    if (at >= 0)
        path.truncate(at + pair.size() - 1);
    return path;
}

} // namespace

CloudAPI::CloudAPI(QUrl base, Send send)
    : base(std::move(base))
    , send(std::move(send))
{
}

QUrl CloudAPI::endpoint(const QString& path) const
{
    QUrl url = base;
    QString p = url.path();
    if (!p.endsWith(QLatin1Char('/')))
        p += QLatin1Char('/');
    url.setPath(p + path);
    return url;
}

HttpRequest CloudAPI::request(const char* method, const QString& path, const QByteArray& authorization) const
{
    HttpRequest r;
    r.method = method;
    r.url = endpoint(path);
    if (!authorization.isEmpty())
        r.headers.emplace_back("Authorization", authorization);
    r.timeoutMs = timeoutMs;
    return r;
}

void CloudAPI::registerCode(const QString& code, const QString& secret, const QString& token,
                            const MacDetails& details, std::function<void(Outcome<bool>)> done) const
{
    HttpRequest r = request("POST", QStringLiteral("v1/pair"));
    r.headers.emplace_back("Content-Type", kJson);
    QJsonObject body = details.json();
    body.insert(QStringLiteral("code"), code);
    body.insert(QStringLiteral("secretHash"), PairCode::sha256Hex(secret));
    body.insert(QStringLiteral("tokenHash"), PairCode::sha256Hex(token));
    r.body = QJsonDocument(body).toJson(QJsonDocument::Compact);
    send(r, [done = std::move(done)](Outcome<HttpResponse> o) {
        if (!o.ok())
            return done(Outcome<bool>::failure(o.error));
        if (o.value->status == 200)
            return done(Outcome<bool>::success(true));
        if (o.value->status == 409)
            return done(Outcome<bool>::success(false));
        done(Outcome<bool>::failure(httpError("pair", o.value->status)));
    });
}

CloudAPI::Poll CloudAPI::decodePoll(const QByteArray& body)
{
    const json::Reader r(json::parseObject(body));
    const QString status = r.string("status");
    if (status == QLatin1String("claimed")) {
        const auto macId = r.optString("macId");
        const auto userId = r.optString("userId");
        const auto email = r.optString("email");
        if (!macId || !userId || !email)
            throw AgentError(QStringLiteral("poll: claimed without ids"));
        return Poll::claimed(*macId, *userId, *email);
    }
    if (status == QLatin1String("expired"))
        return Poll::expired();
    return Poll::pending();
}

void CloudAPI::poll(const QString& code, const QString& secret, std::function<void(Outcome<Poll>)> done) const
{
    const HttpRequest r = request("GET", QStringLiteral("v1/pair/") + code, "Pair " + secret.toUtf8());
    send(r, [done = std::move(done)](Outcome<HttpResponse> o) {
        if (!o.ok())
            return done(Outcome<Poll>::failure(o.error));
        if (o.value->status != 200)
            return done(Outcome<Poll>::failure(httpError("poll", o.value->status)));
        try {
            done(Outcome<Poll>::success(decodePoll(o.value->body)));
        } catch (const json::DecodeError& e) {
            done(Outcome<Poll>::failure(e.description()));
        } catch (const AgentError& e) {
            done(Outcome<Poll>::failure(e.description()));
        }
    });
}

void CloudAPI::status(const QString& token, std::function<void(Outcome<bool>)> done) const
{
    send(request("GET", QStringLiteral("v1/mac"), "Mac " + token.toUtf8()), [done = std::move(done)](Outcome<HttpResponse> o) {
        if (!o.ok())
            return done(Outcome<bool>::failure(o.error));
        if (o.value->status == 200)
            return done(Outcome<bool>::success(true));
        if (o.value->status == 401)
            return done(Outcome<bool>::success(false));
        done(Outcome<bool>::failure(httpError("mac", o.value->status)));
    });
}

void CloudAPI::update(const QString& token, const MacDetails& details,
                      std::function<void(Outcome<std::monostate>)> done) const
{
    HttpRequest r = request("PUT", QStringLiteral("v1/mac"), "Mac " + token.toUtf8());
    r.headers.emplace_back("Content-Type", kJson);
    r.body = QJsonDocument(details.json()).toJson(QJsonDocument::Compact);
    send(r, [done = std::move(done)](Outcome<HttpResponse> o) {
        if (!o.ok())
            return done(Outcome<std::monostate>::failure(o.error));
        if (o.value->status == 204)
            return done(Outcome<std::monostate>::success({}));
        done(Outcome<std::monostate>::failure(httpError("update", o.value->status)));
    });
}

void CloudAPI::unpair(const QString& token, std::function<void(Outcome<std::monostate>)> done) const
{
    send(request("DELETE", QStringLiteral("v1/mac"), "Mac " + token.toUtf8()), [done = std::move(done)](Outcome<HttpResponse> o) {
        if (!o.ok())
            return done(Outcome<std::monostate>::failure(o.error));
        if (o.value->status == 204 || o.value->status == 401)
            return done(Outcome<std::monostate>::success({}));
        done(Outcome<std::monostate>::failure(httpError("unpair", o.value->status)));
    });
}

CloudAPI::Send CloudAPI::urlSession(QObject* owner)
{
    Q_ASSERT(owner);
    QPointer<QNetworkAccessManager> network(new QNetworkAccessManager(owner));
    return [network](const HttpRequest& r, Reply reply) {
        if (!network)
            return reply(Outcome<HttpResponse>::failure(QStringLiteral("no HTTP response")));
        QNetworkRequest request(r.url);
        for (const auto& [name, value] : r.headers)
            request.setRawHeader(name, value);
        request.setTransferTimeout(r.timeoutMs);
        QNetworkReply* pending = r.body.isEmpty() ? network->sendCustomRequest(request, r.method)
                                                  : network->sendCustomRequest(request, r.method, r.body);
        auto tooLarge = std::make_shared<bool>(false);
        QObject::connect(pending, &QNetworkReply::downloadProgress, pending, [pending, tooLarge](qint64 got, qint64 total) {
            if (!*tooLarge && (got > maxReplyBytes || total > maxReplyBytes)) {
                *tooLarge = true;
                pending->abort();
            }
        });
        const QString what = QString::fromLatin1(r.method) + QLatin1Char(' ') + shownPath(r.url);
        QObject::connect(pending, &QNetworkReply::finished, pending, [pending, tooLarge, what, reply = std::move(reply)] {
            pending->deleteLater();
            // The callers retry on their own schedule without a word; the log says why each try failed.
            const auto fail = [&](const QString& why) {
                log(QStringLiteral("cloud: %1 failed (%2)").arg(what, why));
                reply(Outcome<HttpResponse>::failure(why));
            };
            if (*tooLarge)
                return fail(QStringLiteral("cloud reply too large"));
            // The transfer timeout is the only other thing that cancels a request.
            if (pending->error() == QNetworkReply::OperationCanceledError)
                return fail(QStringLiteral("cloud request timed out"));
            if (transportError(pending->error()))
                return fail(pending->errorString());
            const QVariant status = pending->attribute(QNetworkRequest::HttpStatusCodeAttribute);
            if (!status.isValid())
                return fail(QStringLiteral("no HTTP response"));
            reply(Outcome<HttpResponse>::success({status.toInt(), pending->readAll()}));
        });
    };
}

} // namespace core
