#include "WsClient.h"

#include <QJsonDocument>
#include <QTest>

WsClient::WsClient()
{
    socket_.setMaxAllowedIncomingMessageSize(64 * 1024 * 1024);
    connect(&socket_, &QWebSocket::textMessageReceived, this, [this](const QString& t) { inbox_.push_back(t.toUtf8()); });
    connect(&socket_, &QWebSocket::binaryMessageReceived, this, [this](const QByteArray& b) { inbox_.push_back(b); });
    connect(&socket_, &QWebSocket::connected, this, [this] { opened_ = true; });
    connect(&socket_, &QWebSocket::disconnected, this, [this] {
        closed_ = true;
        closeCode_ = socket_.closeCode();
        closeReason_ = socket_.closeReason();
    });
}

bool WsClient::open(const QString& url, int timeoutMs)
{
    socket_.open(QUrl(url));
    // The handshake counts even when the server closes right after it (a refusal).
    return QTest::qWaitFor([this] { return opened_ || closed_; }, timeoutMs) && opened_;
}

void WsClient::sendText(const QByteArray& text) { socket_.sendTextMessage(QString::fromUtf8(text)); }

void WsClient::sendBinary(const QByteArray& data) { socket_.sendBinaryMessage(data); }

std::optional<QByteArray> WsClient::next(int timeoutMs)
{
    if (!QTest::qWaitFor([this] { return !inbox_.empty() || closed_; }, timeoutMs) || inbox_.empty())
        return std::nullopt;
    QByteArray front = inbox_.front();
    inbox_.pop_front();
    return front;
}

QJsonObject WsClient::request(const QString& type, qint64 id, const QJsonObject& params, int timeoutMs)
{
    QJsonObject message = params;
    message.insert(QStringLiteral("type"), type);
    message.insert(QStringLiteral("id"), id);
    sendText(QJsonDocument(message).toJson(QJsonDocument::Compact));
    QJsonObject reply;
    const bool got = QTest::qWaitFor(
        [&] {
            for (auto it = inbox_.begin(); it != inbox_.end(); ++it) {
                const QJsonObject o = parseJson(*it);
                if (o.value(QStringLiteral("type")) == QLatin1String("result")
                    && o.value(QStringLiteral("id")).toInteger() == id) {
                    reply = o;
                    inbox_.erase(it);
                    return true;
                }
            }
            return closed_;
        },
        timeoutMs);
    Q_UNUSED(got);
    return reply;
}

bool WsClient::quiet(int ms)
{
    QTest::qWait(ms);
    return inbox_.empty();
}

bool WsClient::waitClosed(int timeoutMs)
{
    return QTest::qWaitFor([this] { return closed_; }, timeoutMs);
}

QJsonObject parseJson(const QByteArray& bytes) { return QJsonDocument::fromJson(bytes).object(); }
