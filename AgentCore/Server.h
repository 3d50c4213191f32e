#pragma once

#include "CloseCodes.h"

#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

class QTcpServer;
class QTcpSocket;
class QTimer;
class QWebSocket;
class QWebSocketServer;

namespace core {

class FrameGuard;
class PendingSlot;
class SocketSide;
struct Backlog;
struct PendingCounts;

// One message from a client, parsed on the network thread: the JSON object it holds, or why it
// holds none.
struct ClientMessage {
    std::optional<QJsonObject> object;
    QString error; // the parse error when there is no object
    qsizetype size = 0; // bytes on the wire (UTF-8 for text)
};

// One accepted WebSocket connection. All methods run on the main thread; its socket lives on the
// network thread (NetThread.h), which receives, parses and writes.
// `onMessage` receives every non-empty message (text or binary) once `startReceiving` ran;
// `onClose` runs exactly once when the connection ends, whoever ended it.
//
// Until its owner calls `admitted()` the connection is on probation: it must be admitted within
// `kAdmissionMs` of `startReceiving()`, and at most `kMaxUnadmittedBytes` of messages are taken from it;
// otherwise it is closed with 4401.
//
// What waits to be written to a client is bounded: once more than `kMaxBacklogBytes` sit unsent
// (replies, events, or the pongs of its pings), the client is not reading and is dropped with 4408
// rather than let the agent grow.
class WSConnection : public QObject {
    Q_OBJECT
public:
    static constexpr int kAdmissionMs = 10000;
    static constexpr qsizetype kMaxUnadmittedBytes = 64 * 1024;
    // Two of the largest messages the agent sends (a clipboard image event), so that a phone on a
    // slow link is never dropped for one of them.
    static constexpr qint64 kMaxBacklogBytes = 32 * 1024 * 1024;

    // `tcp` is the socket `socket` was upgraded from (both go to the network thread); `slot` is the
    // connection's place among those waiting for admission; `guard` watches that the client masks
    // its frames (a client that does not is closed with 1002).
    WSConnection(std::unique_ptr<QWebSocket> socket, QTcpSocket* tcp, std::unique_ptr<PendingSlot> slot = {},
                 std::unique_ptr<FrameGuard> guard = {});
    ~WSConnection() override;

    std::function<void(const ClientMessage&)> onMessage;
    std::function<void()> onClose;

    const QString& remoteIP() const { return remoteIP_; }
    // Sends handed over that have not yet been written out.
    int pending() const { return pending_; }
    bool closed() const { return closed_; }

    void startReceiving();
    void send(const QByteArray& data);
    // Sends a close message with an application close code and finishes the connection at once.
    void close(quint16 code, const QString& reason);
    void close(const CloseCode& close) { this->close(close.code, close.reason); }
    // The client proved who it is: probation ends and the listener counts it no longer as waiting.
    void admitted();
    bool isAdmitted() const { return admitted_; }

    // Remote address text: IPv4 peers (also IPv4-mapped ones) in dotted decimal, IPv6 without zone.
    static QString remoteText(const QString& address);

private:
    friend class SocketSide; // hands received messages, written counts and the end back here

    void deliver(const ClientMessage& message);
    void written(qint64 sends);
    void finish();
    void refuse(const QString& why);
    void checkBacklog();
    // Asks the network side to close (and, when `abort`, to drop what is unsent) and finishes.
    void closeSocket(quint16 code, const QString& reason, bool abort);

    // Lives on the network thread; its parent there owns it. Reached only by queued calls, and
    // only while the network thread runs.
    SocketSide* side_ = nullptr;
    std::shared_ptr<Backlog> backlog_;
    std::unique_ptr<PendingSlot> slot_;
    std::unique_ptr<QTimer> probation_;
    QString remoteIP_;
    int pending_ = 0;
    qint64 sent_ = 0;
    bool closed_ = false;
    bool receiving_ = false;
    bool admitted_ = false;
    qsizetype unadmittedBytes_ = 0;
    std::vector<ClientMessage> early_;
};

// Accepts WebSocket connections on one port, optionally pinned to one network interface, asks
// `admit` about each remote address and hands admitted ones to `onSession`. All methods run on the
// main thread.
//
// Connections that have not been admitted yet (handshaking, being looked up, or waiting for their
// hello) are bounded per remote address and in all; further ones are dropped at once. Handshakes
// must complete within `kHandshakeMs`. Dropping or cancelling the server stops listening only:
// connections already handed out stay open.
class Server : public QObject {
    Q_OBJECT
public:
    // `trusted`: admitted, and nothing more to prove (this computer itself, in development mode), so
    // none of the bounds on unadmitted connections apply to it from here on.
    enum class Verdict { admit, trusted, refuse, unavailable };
    using Decide = std::function<void(Verdict)>;
    // Starts the decision about one remote address and answers through `decide`, on the main
    // thread, at most once (possibly before returning). The returned object, when there is one, is
    // the decision in progress: the server destroys it when the connection goes away first.
    using Admit = std::function<std::unique_ptr<QObject>(const QString& remoteIP, Decide decide)>;
    using OnSession = std::function<void(std::unique_ptr<WSConnection>)>;

    static constexpr int kMaxWaitingPerPeer = 8;
    static constexpr int kMaxWaiting = 64;
    static constexpr int kHandshakeMs = 10000;

    // Throws AgentError ("bad port N", or the socket error) when the listener cannot be made.
    Server(int port, const std::optional<QString>& interface, Admit admit, OnSession onSession,
           std::function<void()> onFailed);
    ~Server() override;

    void cancel();
    quint16 port() const;

private:
    struct Handshake {
        QPointer<QTcpSocket> socket;
        std::unique_ptr<PendingSlot> slot;
        std::unique_ptr<FrameGuard> guard;
        std::unique_ptr<QTimer> timer;
    };
    struct Waiting {
        std::unique_ptr<WSConnection> conn;
        std::unique_ptr<QObject> decision;
    };

    void onTcpConnection();
    void onAcceptError();
    void onWebSocket();
    void decided(WSConnection* conn, Verdict verdict);
    std::unique_ptr<Waiting> takeWaiting(WSConnection* conn);

    std::unique_ptr<QTcpServer> tcp_;
    std::unique_ptr<QWebSocketServer> upgrader_;
    Admit admit_;
    OnSession onSession_;
    std::function<void()> onFailed_;
    std::shared_ptr<PendingCounts> counts_;
    // Keyed by the remote address and port, which is all the upgraded socket tells of its origin.
    std::map<std::pair<QString, quint16>, Handshake> handshakes_;
    // Connections waiting for the admission decision.
    std::vector<std::unique_ptr<Waiting>> waiting_;
};

} // namespace core
