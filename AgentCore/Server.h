#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QWebSocket;
class QWebSocketServer;

namespace core {

// One accepted WebSocket connection. All methods run on the main thread.
// `onText` receives every non-empty message (text or binary) as bytes once `startReceiving` ran;
// `onClose` runs exactly once when the connection ends, whoever ended it.
class WSConnection : public QObject {
    Q_OBJECT
public:
    explicit WSConnection(std::unique_ptr<QWebSocket> socket);
    ~WSConnection() override;

    std::function<void(const QByteArray&)> onText;
    std::function<void()> onClose;

    const QString& remoteIP() const { return remoteIP_; }
    // Sends handed to the socket that have not yet been written out.
    int pending() const { return pending_; }
    bool closed() const { return closed_; }

    void startReceiving();
    void send(const QByteArray& data);
    // Sends a close message with an application close code and finishes the connection at once.
    void close(quint16 code, const QString& reason);

    // Remote address text: IPv4 peers (also IPv4-mapped ones) in dotted decimal, IPv6 without zone.
    static QString remoteText(const QString& address);

private:
    void deliver(const QByteArray& data);
    void finish();

    std::unique_ptr<QWebSocket> socket_;
    QString remoteIP_;
    int pending_ = 0;
    bool closed_ = false;
    bool receiving_ = false;
    std::vector<QByteArray> early_;
};

// Accepts WebSocket connections on one port, optionally pinned to one network interface, asks
// `admit` (on a worker thread) about each remote address and hands admitted ones to `onSession`.
class Server : public QObject {
    Q_OBJECT
public:
    using Admit = std::function<bool(const QString& remoteIP)>;
    using OnSession = std::function<void(std::unique_ptr<WSConnection>)>;

    // Throws AgentError ("bad port N", or the socket error) when the listener cannot be made.
    Server(int port, const std::optional<QString>& interface, Admit admit, OnSession onSession,
           std::function<void()> onFailed);
    ~Server() override;

    void cancel();
    quint16 port() const;

private:
    void onNewConnection();
    void decided(WSConnection* conn, bool admitted);

    std::unique_ptr<QWebSocketServer> server_;
    Admit admit_;
    OnSession onSession_;
    std::function<void()> onFailed_;
    // Connections waiting for the admission decision.
    std::vector<std::unique_ptr<WSConnection>> waiting_;
};

} // namespace core
