#include "Server.h"

#include "Log.h"
#include "linux/ListenSocket.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QThreadPool>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

#include <algorithm>

namespace core {

namespace {

constexpr quint64 kMaxMessage = 16 * 1024 * 1024;
constexpr int kCloseLingerMs = 5000;

} // namespace

// ---- WSConnection ----

QString WSConnection::remoteText(const QString& address)
{
    const QString host = address.section(QLatin1Char('%'), 0, 0);
    QHostAddress parsed(host);
    bool isV4 = false;
    const quint32 v4 = parsed.toIPv4Address(&isV4);
    if (isV4)
        return QHostAddress(v4).toString();
    return host;
}

WSConnection::WSConnection(std::unique_ptr<QWebSocket> socket)
    : socket_(std::move(socket))
    , remoteIP_(remoteText(socket_->peerAddress().toString()))
{
    socket_->setMaxAllowedIncomingMessageSize(kMaxMessage);
    connect(socket_.get(), &QWebSocket::textMessageReceived, this,
            [this](const QString& text) { deliver(text.toUtf8()); });
    connect(socket_.get(), &QWebSocket::binaryMessageReceived, this, [this](const QByteArray& data) { deliver(data); });
    connect(socket_.get(), &QWebSocket::disconnected, this, [this] { finish(); });
    connect(socket_.get(), &QWebSocket::bytesWritten, this, [this](qint64) {
        if (socket_->bytesToWrite() == 0)
            pending_ = 0;
    });
}

WSConnection::~WSConnection()
{
    // The socket may still be exchanging its close handshake: let it finish on its own, bounded.
    QObject::disconnect(socket_.get(), nullptr, this, nullptr);
    if (socket_->state() == QAbstractSocket::UnconnectedState)
        return;
    QWebSocket* lingering = socket_.release();
    // The application holds it meanwhile, so one still lingering when the event loop ends is freed.
    lingering->setParent(QCoreApplication::instance());
    if (!closed_)
        lingering->close();
    connect(lingering, &QWebSocket::disconnected, lingering, &QObject::deleteLater);
    QTimer::singleShot(kCloseLingerMs, Qt::PreciseTimer, lingering, [lingering] { lingering->abort(); lingering->deleteLater(); });
}

void WSConnection::deliver(const QByteArray& data)
{
    if (closed_ || data.isEmpty())
        return;
    if (!receiving_) {
        early_.push_back(data);
        return;
    }
    if (onText)
        onText(data);
}

void WSConnection::startReceiving()
{
    if (receiving_)
        return;
    receiving_ = true;
    // Messages that came before the owner was ready, in order; the owner may close us meanwhile.
    std::vector<QByteArray> early = std::move(early_);
    QPointer<WSConnection> self(this);
    for (const QByteArray& data : early) {
        if (!self || closed_)
            return;
        if (onText)
            onText(data);
    }
}

void WSConnection::send(const QByteArray& data)
{
    if (closed_)
        return;
    ++pending_;
    socket_->sendTextMessage(QString::fromUtf8(data));
}

void WSConnection::close(quint16 code, const QString& reason)
{
    if (closed_)
        return;
    socket_->close(static_cast<QWebSocketProtocol::CloseCode>(code), reason);
    finish();
}

void WSConnection::finish()
{
    if (closed_)
        return;
    closed_ = true;
    pending_ = 0;
    early_.clear();
    auto closeHandler = std::move(onClose);
    onClose = nullptr;
    onText = nullptr;
    if (closeHandler)
        closeHandler();
}

// ---- Server ----

Server::Server(int port, const std::optional<QString>& interface, Admit admit, OnSession onSession,
               std::function<void()> onFailed)
    : admit_(std::move(admit))
    , onSession_(std::move(onSession))
    , onFailed_(std::move(onFailed))
{
    if (port < 1 || port > 65535)
        throw AgentError(QStringLiteral("bad port %1").arg(port));
    os::SocketFd fd = os::openListenSocket(static_cast<quint16>(port), interface);

    server_ = std::make_unique<QWebSocketServer>(QString(), QWebSocketServer::NonSecureMode);
    server_->setMaxPendingConnections(64);
    if (!server_->setSocketDescriptor(fd.get()))
        throw AgentError(server_->errorString());
    fd.release(); // the server owns the descriptor now

    connect(server_.get(), &QWebSocketServer::newConnection, this, &Server::onNewConnection);
    connect(server_.get(), &QWebSocketServer::acceptError, this, [this](QAbstractSocket::SocketError) {
        log(QStringLiteral("listener failed: ") + server_->errorString());
        if (onFailed_)
            onFailed_();
    });
}

Server::~Server() = default;

void Server::cancel()
{
    if (server_)
        server_->close();
}

quint16 Server::port() const { return server_ ? server_->serverPort() : 0; }

void Server::onNewConnection()
{
    while (QWebSocket* raw = server_->nextPendingConnection()) {
        std::unique_ptr<QWebSocket> socket(raw);
        socket->setParent(nullptr);
        auto conn = std::make_unique<WSConnection>(std::move(socket));
        QPointer<WSConnection> guard(conn.get());
        QPointer<Server> self(this);
        const QString remote = conn->remoteIP();
        waiting_.push_back(std::move(conn));
        // The predicate may block on external commands: ask it off the main thread.
        Admit admit = admit_;
        QThreadPool::globalInstance()->start([admit, remote, guard, self] {
            const bool admitted = admit(remote);
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [guard, self, admitted] {
                    if (self && guard)
                        self->decided(guard.data(), admitted);
                },
                Qt::QueuedConnection);
        });
    }
}

void Server::decided(WSConnection* conn, bool admitted)
{
    auto it = std::find_if(waiting_.begin(), waiting_.end(), [&](const auto& c) { return c.get() == conn; });
    if (it == waiting_.end())
        return;
    std::unique_ptr<WSConnection> owned = std::move(*it);
    waiting_.erase(it);
    if (admitted && !owned->closed()) {
        onSession_(std::move(owned));
        return;
    }
    owned->close(4403, QStringLiteral("device not on your account"));
}

} // namespace core
