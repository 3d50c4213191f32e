#include "CloudService.h"

#include "PairingRecords.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QMetaEnum>

using Method = QHttpServerRequest::Method;
using Status = QHttpServerResponder::StatusCode;

namespace {

constexpr int kCodeLifetime = 600;

QByteArray header(const QHttpServerRequest& request, const QByteArray& name)
{
    for (const auto& [n, v] : request.headers())
        if (n.compare(name, Qt::CaseInsensitive) == 0)
            return v;
    return {};
}

std::optional<QJsonObject> jsonBody(const QHttpServerRequest& request)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(request.body(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return doc.object();
}

bool hasStrings(const QJsonObject& o, std::initializer_list<const char*> keys)
{
    for (const char* k : keys)
        if (!o.value(QLatin1String(k)).isString())
            return false;
    return true;
}

} // namespace

CloudService::CloudService(SigningKey key)
    : key_(std::move(key))
{
    routes();
}

quint16 CloudService::listen(quint16 port) { return server_.listen(QHostAddress::LocalHost, port); }

void CloudService::routes()
{
    server_.route("/v1/pair", Method::Post, [this](const QHttpServerRequest& r) { return registerCode(r); });
    server_.route("/v1/pair/<arg>", Method::Get, [this](const QString& code, const QHttpServerRequest& r) { return poll(code, r); });
    server_.route("/v1/mac", Method::Get | Method::Put | Method::Delete, [this](const QHttpServerRequest& r) { return mac(r); });
    server_.route("/test/claim", Method::Post, [this](const QHttpServerRequest& r) { return claim(r); });
    server_.route("/test/ticket", Method::Post, [this](const QHttpServerRequest& r) { return ticket(r); });
    server_.route("/test/fail-updates", Method::Post, [this](const QHttpServerRequest& r) { return failUpdates(r); });
    server_.route("/test/state", Method::Get, [this] { return QHttpServerResponse(state()); });
    server_.afterRequest([this](QHttpServerResponse&& response, const QHttpServerRequest& request) {
        const QString path = request.url().path();
        if (!path.startsWith(QLatin1String("/test/"))) {
            const QString method = QString::fromLatin1(QMetaEnum::fromType<Method>().valueToKey(static_cast<int>(request.method())));
            requests_.append(method.toUpper() + QLatin1Char(' ') + path);
        }
        return std::move(response);
    });
}

QHttpServerResponse CloudService::registerCode(const QHttpServerRequest& request)
{
    const auto body = jsonBody(request);
    if (header(request, "Content-Type") != "application/json" || !body
        || !hasStrings(*body, {"code", "secretHash", "tokenHash", "nodeId", "name", "dnsName", "tailscaleLogin"})
        || !body->value(QStringLiteral("port")).isDouble())
        return QHttpServerResponse(Status::BadRequest);
    const QString code = body->value(QStringLiteral("code")).toString();
    const auto now = QDateTime::currentDateTimeUtc();
    if (auto it = codes_.find(code); it != codes_.end() && it->second.expiresAt > now)
        return QHttpServerResponse(Status::Conflict);
    QJsonObject details = *body;
    for (const char* k : {"code", "secretHash", "tokenHash"})
        details.remove(QLatin1String(k));
    codes_[code] = Code{body->value(QStringLiteral("secretHash")).toString(), body->value(QStringLiteral("tokenHash")).toString(),
                        details, now.addSecs(kCodeLifetime), std::nullopt, {}, {}};
    return QHttpServerResponse(QJsonObject{});
}

QHttpServerResponse CloudService::poll(const QString& code, const QHttpServerRequest& request)
{
    const auto it = codes_.find(code);
    if (it == codes_.end())
        return QHttpServerResponse(Status::NotFound);
    const QByteArray auth = header(request, "Authorization");
    if (!auth.startsWith("Pair ") || core::PairCode::sha256Hex(QString::fromUtf8(auth.mid(5))) != it->second.secretHash)
        return QHttpServerResponse(Status::Unauthorized);
    const Code& c = it->second;
    if (c.macId)
        return QHttpServerResponse(QJsonObject{{"status", "claimed"}, {"macId", *c.macId}, {"userId", c.userId}, {"email", c.email}});
    if (!(c.expiresAt > QDateTime::currentDateTimeUtc()))
        return QHttpServerResponse(QJsonObject{{"status", "expired"}});
    return QHttpServerResponse(QJsonObject{{"status", "pending"}});
}

CloudService::Mac* CloudService::macFor(const QHttpServerRequest& request)
{
    const QByteArray auth = header(request, "Authorization");
    if (!auth.startsWith("Mac "))
        return nullptr;
    const auto it = macs_.find(core::PairCode::sha256Hex(QString::fromUtf8(auth.mid(4))));
    return it == macs_.end() ? nullptr : &it->second;
}

QHttpServerResponse CloudService::mac(const QHttpServerRequest& request)
{
    Mac* m = macFor(request);
    if (!m)
        return QHttpServerResponse(Status::Unauthorized);
    switch (request.method()) {
    case Method::Get:
        return QHttpServerResponse(QJsonObject{{"macId", m->macId}});
    case Method::Put: {
        if (failingUpdates_ > 0) {
            --failingUpdates_;
            return QHttpServerResponse(Status::ServiceUnavailable);
        }
        const auto body = jsonBody(request);
        if (!body || !hasStrings(*body, {"nodeId", "name", "dnsName", "tailscaleLogin"}))
            return QHttpServerResponse(Status::BadRequest);
        m->details = *body;
        return QHttpServerResponse(Status::NoContent);
    }
    default:
        macs_.erase(m->tokenHash);
        ++unpaired_;
        return QHttpServerResponse(Status::NoContent);
    }
}

QHttpServerResponse CloudService::claim(const QHttpServerRequest& request)
{
    const auto body = jsonBody(request);
    if (!body || !hasStrings(*body, {"code", "userId", "email"}))
        return QHttpServerResponse(Status::BadRequest);
    const auto it = codes_.find(body->value(QStringLiteral("code")).toString().toUpper());
    if (it == codes_.end() || !(it->second.expiresAt > QDateTime::currentDateTimeUtc()))
        return QHttpServerResponse(Status::NotFound);
    Code& c = it->second;
    // Re-pairing keeps the Mac's identity when it registers the token it already has.
    Mac& m = macs_[c.tokenHash];
    if (m.macId.isEmpty())
        m.macId = QStringLiteral("mac-%1").arg(nextMac_++);
    m.owner = body->value(QStringLiteral("userId")).toString();
    m.tokenHash = c.tokenHash;
    m.details = c.details;
    c.macId = m.macId;
    c.userId = m.owner;
    c.email = body->value(QStringLiteral("email")).toString();
    return QHttpServerResponse(QJsonObject{{"macId", m.macId}});
}

QHttpServerResponse CloudService::ticket(const QHttpServerRequest& request)
{
    const auto body = jsonBody(request);
    if (!body || !hasStrings(*body, {"sub", "mac"}) || !body->value(QStringLiteral("exp")).isDouble() || !key_.valid())
        return QHttpServerResponse(Status::BadRequest);
    const QString kid = body->value(QStringLiteral("kid")).toString(QStringLiteral("t1"));
    return QHttpServerResponse(QJsonObject{
        {"ticket", key_.ticket(kid, body->value(QStringLiteral("sub")).toString(), body->value(QStringLiteral("mac")).toString(),
                               body->value(QStringLiteral("exp")).toDouble())}});
}

QHttpServerResponse CloudService::failUpdates(const QHttpServerRequest& request)
{
    const auto body = jsonBody(request);
    if (!body || !body->value(QStringLiteral("count")).isDouble())
        return QHttpServerResponse(Status::BadRequest);
    failingUpdates_ = body->value(QStringLiteral("count")).toInt();
    return QHttpServerResponse(QJsonObject{});
}

QJsonObject CloudService::state() const
{
    QJsonArray macs, codes;
    for (const auto& [hash, m] : macs_)
        macs.append(QJsonObject{{"macId", m.macId}, {"owner", m.owner}, {"tokenHash", hash}, {"details", m.details}});
    for (const auto& [code, c] : codes_)
        codes.append(QJsonObject{{"code", code}, {"tokenHash", c.tokenHash}, {"claimed", c.macId.has_value()}, {"details", c.details}});
    return {{"macs", macs}, {"codes", codes}, {"unpaired", unpaired_}, {"requests", QJsonArray::fromStringList(requests_)}};
}
