#include "CloudProcess.h"

#include "PairingRecords.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QTest>

CloudProcess::CloudProcess() = default;

CloudProcess::~CloudProcess()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.closeWriteChannel();
    if (!process_.waitForFinished(5000))
        process_.kill();
    process_.waitForFinished(2000);
}

bool CloudProcess::start()
{
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(QStringLiteral(STAND_IN_CLOUD), {QStringLiteral("--port"), QStringLiteral("0")});
    if (!process_.waitForStarted(5000)) {
        error_ = QStringLiteral("stand-in-cloud did not start: ") + process_.errorString();
        return false;
    }
    while (!process_.canReadLine()) {
        if (!process_.waitForReadyRead(10000)) {
            error_ = QStringLiteral("stand-in-cloud printed no port");
            return false;
        }
    }
    const QString line = QString::fromUtf8(process_.readLine()).trimmed();
    port_ = line.section(QLatin1Char(':'), -1).toInt();
    if (port_ <= 0)
        error_ = QStringLiteral("stand-in-cloud said: ") + line;
    return port_ > 0;
}

std::optional<QJsonObject> CloudProcess::finish(QNetworkReply* reply)
{
    const bool done = QTest::qWaitFor([reply] { return reply->isFinished(); }, 10000);
    reply->deleteLater();
    if (!done || reply->error() != QNetworkReply::NoError)
        return std::nullopt;
    const QJsonDocument doc = QJsonDocument::fromJson(reply->readAll());
    if (!doc.isObject())
        return std::nullopt;
    return doc.object();
}

std::optional<QJsonObject> CloudProcess::post(const QString& path, const QJsonObject& body)
{
    QNetworkRequest request(QUrl(base() + path));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    return finish(network_.post(request, QJsonDocument(body).toJson(QJsonDocument::Compact)));
}

std::optional<QJsonObject> CloudProcess::get(const QString& path)
{
    return finish(network_.get(QNetworkRequest(QUrl(base() + path))));
}

bool CloudProcess::claim(const QString& code, const QString& userId, const QString& email)
{
    return post(QStringLiteral("/test/claim"), {{"code", code}, {"userId", userId}, {"email", email}}).has_value();
}

QString CloudProcess::ticket(const QString& sub, const QString& mac, double exp)
{
    const auto reply = post(QStringLiteral("/test/ticket"), {{"sub", sub}, {"mac", mac}, {"exp", exp}});
    return reply ? reply->value(QStringLiteral("ticket")).toString() : QString();
}

QJsonObject CloudProcess::state() { return get(QStringLiteral("/test/state")).value_or(QJsonObject{}); }

QString CloudProcess::pairMac(const QString& token, const QString& owner)
{
    const QString code = core::PairCode::make();
    const auto registered = post(QStringLiteral("/v1/pair"),
                                 {{"code", code}, {"secretHash", core::PairCode::sha256Hex(QStringLiteral("s"))},
                                  {"tokenHash", core::PairCode::sha256Hex(token)}, {"nodeId", "n"}, {"name", "Desk"},
                                  {"dnsName", "desk"}, {"port", 7420}, {"tailscaleLogin", "a@b.c"}});
    if (!registered)
        return {};
    const auto claimed = post(QStringLiteral("/test/claim"), {{"code", code}, {"userId", owner}, {"email", "a@b.c"}});
    return claimed ? claimed->value(QStringLiteral("macId")).toString() : QString();
}

bool CloudProcess::received(const QString& methodPath)
{
    return state().value(QStringLiteral("requests")).toArray().contains(methodPath);
}
