#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QWebSocket>

#include <deque>
#include <optional>

// A WebSocket client for talking to the agent in tests. Every wait spins the event loop and fails
// the current test on time-out.
class WsClient : public QObject {
    Q_OBJECT
public:
    WsClient();

    // True once the WebSocket handshake completed.
    bool open(const QString& url, int timeoutMs = 5000);
    void sendText(const QByteArray& text);
    void sendBinary(const QByteArray& data);
    // Sends {"type":type,"id":id} merged with `params`, then waits for the reply with that id;
    // events that arrive meanwhile stay queued.
    QJsonObject request(const QString& type, qint64 id, const QJsonObject& params = {}, int timeoutMs = 5000);

    // Next message (reply or event) in arrival order.
    std::optional<QByteArray> next(int timeoutMs = 5000);
    // True when nothing arrives within `ms`.
    bool quiet(int ms);
    bool waitClosed(int timeoutMs = 5000);

    bool isOpen() const { return socket_.state() == QAbstractSocket::ConnectedState && !closed_; }
    int closeCode() const { return closeCode_; }
    QString closeReason() const { return closeReason_; }
    QWebSocket& socket() { return socket_; }

private:
    QWebSocket socket_;
    std::deque<QByteArray> inbox_;
    bool opened_ = false;
    bool closed_ = false;
    int closeCode_ = -1;
    QString closeReason_;
};

QJsonObject parseJson(const QByteArray& bytes);
