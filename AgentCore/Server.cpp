#include "Server.h"

#include "ClientFrameCheck.h"
#include "Json.h"
#include "Log.h"
#include "NetThread.h"
#include "Threads.h"
#include "linux/ListenSocket.h"
#include "linux/TcpCounters.h"

#include <QCoreApplication>
#include <QFutureWatcher>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtConcurrent>

#include <algorithm>
#include <atomic>
#include <deque>
#include <set>

namespace core {

namespace {

constexpr quint64 kMaxMessage = 16 * 1024 * 1024;
constexpr int kCloseLingerMs = 5000;
// Converting and parsing a message of this size or more takes a millisecond or more of the network
// thread, which all connections share: larger ones are done on the pool.
constexpr qsizetype kAsideBytes = 256 * 1024;
constexpr int kAcceptPauseMs = 1000;
// RFC 6455 "Try Again Later": the Mac could not judge the device, which says nothing about it.
constexpr quint16 kTryAgainLater = 1013;
const QString kCannotCheck = QStringLiteral("This Mac cannot check your device right now. Try again.");

} // namespace

// How many connections wait for admission, per remote address and in all.
struct PendingCounts {
    std::map<QString, int> perPeer;
    int total = 0;
    std::set<QString> full; // addresses whose refusal was logged since they were last below the limit
};

// One waiting connection's place in the counts, given back when it is destroyed.
class PendingSlot {
public:
    PendingSlot(std::shared_ptr<PendingCounts> counts, QString peer)
        : counts_(std::move(counts))
        , peer_(std::move(peer))
    {
        ++counts_->perPeer[peer_];
        ++counts_->total;
    }
    PendingSlot(const PendingSlot&) = delete;
    PendingSlot& operator=(const PendingSlot&) = delete;
    ~PendingSlot()
    {
        --counts_->total;
        if (--counts_->perPeer[peer_] <= 0)
            counts_->perPeer.erase(peer_);
        counts_->full.erase(peer_);
    }

private:
    std::shared_ptr<PendingCounts> counts_;
    QString peer_;
};

// Qt's WebSocket layer takes unmasked client frames as they come. This reads the frame headers
// beside it, in the socket's own buffer: it is connected to the socket before Qt's upgrader and
// reader, so on every arrival it sees the new bytes before Qt consumes them, and the kernel's count
// of bytes read tells where Qt's buffer starts in the stream.
class FrameGuard : public QObject {
public:
    explicit FrameGuard(QTcpSocket* socket)
        : socket_(socket)
    {
        connect(socket, &QTcpSocket::readyRead, this, &FrameGuard::examine);
    }

    std::function<void()> onUnmasked;
    // Runs on every arrival, before Qt reads it.
    std::function<void()> onArrival;

    // The handshake is done: frames start at the first byte Qt has not read yet.
    void start()
    {
        if (const std::optional<qint64> start = bufferStart())
            check_.emplace(*start);
        examine();
    }

private:
    std::optional<qint64> bufferStart() const
    {
        if (!socket_)
            return std::nullopt;
        const std::optional<qint64> read = os::bytesRead(socket_->socketDescriptor());
        if (!read)
            return std::nullopt;
        return *read - socket_->bytesAvailable();
    }

    void examine()
    {
        if (onArrival)
            onArrival();
        if (!check_)
            return;
        const std::optional<qint64> start = bufferStart();
        if (!start)
            return;
        const qint64 end = *start + socket_->bytesAvailable();
        // One copy of the buffer per arrival, taken only when a header lies in it: peeking anew
        // for each header made a burst of small frames cost the square of its size.
        QByteArray buffered;
        while (check_->at() + check_->need() <= end) {
            if (check_->at() < *start) {
                check_.reset(); // Qt read past us: no verdict rather than a wrong one
                return;
            }
            if (buffered.isEmpty()) {
                buffered = socket_->peek(end - *start);
                if (buffered.size() != end - *start) {
                    check_.reset();
                    return;
                }
            }
            if (!check_->take(buffered.mid(check_->at() - *start, check_->need()))) {
                check_.reset();
                if (onUnmasked)
                    onUnmasked();
                return;
            }
        }
    }

    QPointer<QTcpSocket> socket_;
    std::optional<ClientFrameCheck> check_;
};

// What waits to be written to one client, counted on both threads.
struct Backlog {
    std::atomic<qint64> handedOver{0}; // sent by the main thread, not yet given to the socket
    std::atomic<qint64> socket{0}; // the socket's unwritten bytes, as last seen on the network thread
    std::atomic<bool> dropped{false}; // the client was found not reading (and that was logged)

    qint64 total() const { return handedOver.load() + socket.load(); }
    // True for the one caller that finds the bound passed first.
    bool overflows() { return total() > WSConnection::kMaxBacklogBytes && !dropped.exchange(true); }
};

namespace {

QString notReadingLine(const QString& remoteIP, qint64 backlog)
{
    return QStringLiteral("closed %1 (not reading: %2 bytes unsent)").arg(remoteIP).arg(backlog);
}

ClientMessage parseMessage(const QByteArray& bytes)
{
    ClientMessage message;
    message.size = bytes.size();
    try {
        message.object = json::parseObject(bytes);
    } catch (const json::DecodeError& e) {
        message.error = e.description();
    }
    return message;
}

// Work whose results are taken one by one in the order it was handed in, on the owner's thread.
// Small work is done at once when nothing waits before it; large work runs on the pool, and what
// comes after it waits its turn. Results of work still running when this goes are dropped.
template <typename T>
class InOrder {
public:
    InOrder(QObject* owner, std::function<void(T)> take)
        : owner_(owner)
        , take_(std::move(take))
    {
    }

    template <typename Work>
    void add(Work work, bool large)
    {
        if (!large && running_.empty()) {
            take_(work());
            return;
        }
        auto watcher = std::make_unique<QFutureWatcher<T>>();
        QObject::connect(watcher.get(), &QFutureWatcherBase::finished, owner_, [this] { drain(); });
        watcher->setFuture(QtConcurrent::run(std::move(work)));
        running_.push_back(std::move(watcher));
    }

private:
    void drain()
    {
        while (!running_.empty() && running_.front()->isFinished()) {
            // Its own signal may still be on the way: it goes later.
            QFutureWatcher<T>* done = running_.front().release();
            running_.pop_front();
            done->deleteLater();
            take_(done->result());
        }
    }

    QObject* owner_;
    std::function<void(T)> take_;
    std::deque<std::unique_ptr<QFutureWatcher<T>>> running_;
};

struct Outgoing {
    QString text;
    qint64 bytes = 0;
};

} // namespace

// The network thread's half of a connection: owns the socket, the TCP socket it was upgraded from
// and the frame guard. Everything here runs on the network thread, except the constructor, which runs
// on the main thread before everything is moved over.
class SocketSide : public QObject {
public:
    SocketSide(std::unique_ptr<QWebSocket> socket, QTcpSocket* tcp, std::unique_ptr<FrameGuard> guard,
               WSConnection* owner, std::shared_ptr<Backlog> backlog)
        : socket_(std::move(socket))
        , tcp_(tcp)
        , guard_(std::move(guard))
        , owner_(owner)
        , backlog_(std::move(backlog))
        , remoteIP_(owner->remoteIP())
    {
        connect(socket_.get(), &QWebSocket::textMessageReceived, this, [this](const QString& text) {
            if (!done_ && !text.isEmpty())
                incoming_.add([text] { return parseMessage(text.toUtf8()); }, text.size() >= kAsideBytes);
        });
        connect(socket_.get(), &QWebSocket::binaryMessageReceived, this, [this](const QByteArray& bytes) {
            if (!done_ && !bytes.isEmpty())
                incoming_.add([bytes] { return parseMessage(bytes); }, bytes.size() >= kAsideBytes);
        });
        connect(socket_.get(), &QWebSocket::disconnected, this, &SocketSide::ended);
        connect(socket_.get(), &QWebSocket::bytesWritten, this, &SocketSide::flushed);
        if (guard_) {
            guard_->onUnmasked = [this] {
                log(QStringLiteral("closed ") + remoteIP_ + QStringLiteral(" (unmasked frame)"));
                close(QWebSocketProtocol::CloseCodeProtocolError, QString(), false);
                ended();
            };
            // Pongs are queued by Qt itself, unseen by write(): a client that pings without
            // reading is caught when it sends more.
            guard_->onArrival = [this] { checkBacklog(); };
            guard_->start();
        }
    }

    ~SocketSide() override
    {
        // The socket says goodbye from its destructor, and nothing of this object may hear it.
        if (guard_) {
            guard_->onUnmasked = nullptr;
            guard_->onArrival = nullptr;
        }
        QObject::disconnect(socket_.get(), nullptr, this, nullptr);
        socket_.reset();
    }

    // Main thread: hands this object, its sockets and its guard to `home`'s thread, where `home`
    // adopts it.
    void moveTo(QObject* home)
    {
        QThread* thread = home->thread();
        // The socket does not free the TCP socket it was upgraded from once they left the thread
        // that made them; as a child here it goes with this object (and moves along with it).
        if (tcp_)
            tcp_->setParent(this);
        // All in one move, as children (their owners here still delete them first). Moved one by
        // one, the TCP socket's arrivals could reach Qt's reader on the new thread while the
        // guard's look at them still waited on this one, and an unmasked frame would pass unseen.
        socket_->setParent(this);
        if (guard_)
            guard_->setParent(this);
        moveToThread(thread);
        QMetaObject::invokeMethod(this, [this, home] { setParent(home); }, Qt::QueuedConnection);
    }

    void write(const QByteArray& data)
    {
        outgoing_.add([data] { return Outgoing{QString::fromUtf8(data), data.size()}; }, data.size() >= kAsideBytes);
    }

    void close(quint16 code, const QString& reason, bool abort)
    {
        if (done_)
            return;
        done_ = true;
        socket_->close(static_cast<QWebSocketProtocol::CloseCode>(code), reason);
        // The close message waits behind everything unsent, which a client that does not read
        // never takes; lingering would only let its pings queue more.
        if (abort)
            socket_->abort();
    }

    // The main thread let go: the socket may still be exchanging its close handshake, so it is
    // given a bounded while to finish on its own.
    void release()
    {
        QObject::disconnect(socket_.get(), nullptr, this, nullptr);
        if (guard_) {
            guard_->onUnmasked = nullptr;
            guard_->onArrival = nullptr;
        }
        if (socket_->state() == QAbstractSocket::UnconnectedState) {
            deleteLater();
            return;
        }
        if (!done_)
            socket_->close();
        done_ = true;
        connect(socket_.get(), &QWebSocket::disconnected, this, &QObject::deleteLater);
        QTimer::singleShot(kCloseLingerMs, Qt::PreciseTimer, this, [this] {
            socket_->abort();
            deleteLater();
        });
    }

private:
    void received(const ClientMessage& message)
    {
        if (done_)
            return;
        postToMain(owner_, [message](WSConnection* c) { c->deliver(message); });
    }

    void send(const Outgoing& out)
    {
        backlog_->handedOver -= out.bytes;
        ++taken_;
        if (done_)
            return;
        socket_->sendTextMessage(out.text);
        checkBacklog();
    }

    void flushed()
    {
        const qint64 unsent = socket_->bytesToWrite();
        backlog_->socket = unsent;
        if (unsent == 0)
            postToMain(owner_, [taken = taken_](WSConnection* c) { c->written(taken); });
    }

    void checkBacklog()
    {
        if (done_)
            return;
        backlog_->socket = socket_->bytesToWrite();
        if (!backlog_->overflows())
            return;
        log(notReadingLine(remoteIP_, backlog_->total()));
        close(Close::notReading.code, Close::notReading.reason, true);
        ended();
    }

    // The connection is over for the main thread, once.
    void ended()
    {
        done_ = true;
        if (endSent_)
            return;
        endSent_ = true;
        postToMain(owner_, [](WSConnection* c) { c->finish(); });
    }

    std::unique_ptr<QWebSocket> socket_;
    QPointer<QTcpSocket> tcp_;
    std::unique_ptr<FrameGuard> guard_;
    QPointer<WSConnection> owner_; // made on the main thread, only copied here
    std::shared_ptr<Backlog> backlog_;
    const QString remoteIP_;
    qint64 taken_ = 0; // sends written into the socket
    bool done_ = false; // closed or ended: nothing more is read or written
    bool endSent_ = false;
    // Declared last: gone first, before anything their results would reach.
    InOrder<ClientMessage> incoming_{this, [this](const ClientMessage& m) { received(m); }};
    InOrder<Outgoing> outgoing_{this, [this](const Outgoing& o) { send(o); }};
};

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

WSConnection::WSConnection(std::unique_ptr<QWebSocket> socket, QTcpSocket* tcp, std::unique_ptr<PendingSlot> slot,
                           std::unique_ptr<FrameGuard> guard)
    : backlog_(std::make_shared<Backlog>())
    , slot_(std::move(slot))
    , probation_(std::make_unique<QTimer>())
    , remoteIP_(remoteText(socket->peerAddress().toString()))
{
    // Qt's own frame limit is far above the message limit; one frame must not get past it.
    socket->setMaxAllowedIncomingMessageSize(kMaxMessage);
    socket->setMaxAllowedIncomingFrameSize(kMaxMessage);
    auto side = std::make_unique<SocketSide>(std::move(socket), tcp, std::move(guard), this, backlog_);
    side->moveTo(NetThread::home());
    side_ = side.release(); // adopted on the network thread
    probation_->setSingleShot(true);
    connect(probation_.get(), &QTimer::timeout, this,
            [this] { refuse(QStringLiteral("not admitted within %1s").arg(kAdmissionMs / 1000)); });
}

WSConnection::~WSConnection()
{
    if (NetThread::running())
        QMetaObject::invokeMethod(side_, [side = side_] { side->release(); }, Qt::QueuedConnection);
}

void WSConnection::deliver(const ClientMessage& message)
{
    if (closed_)
        return;
    if (!admitted_) {
        // Nothing but a hello is due before admission, and a hello is small.
        unadmittedBytes_ += message.size;
        if (unadmittedBytes_ > kMaxUnadmittedBytes) {
            refuse(QStringLiteral("%1 bytes before admission").arg(unadmittedBytes_));
            return;
        }
    }
    if (!receiving_) {
        early_.push_back(message);
        return;
    }
    if (onMessage)
        onMessage(message);
}

void WSConnection::startReceiving()
{
    if (receiving_)
        return;
    receiving_ = true;
    // The owner is ready for a hello from now on; the lookup before this has a bound of its own.
    if (!admitted_)
        probation_->start(kAdmissionMs);
    // Messages that came before the owner was ready, in order; the owner may close us meanwhile.
    std::vector<ClientMessage> early = std::move(early_);
    QPointer<WSConnection> self(this);
    for (const ClientMessage& message : early) {
        if (!self || closed_)
            return;
        if (onMessage)
            onMessage(message);
    }
}

void WSConnection::send(const QByteArray& data)
{
    if (closed_)
        return;
    ++pending_;
    ++sent_;
    backlog_->handedOver += data.size();
    QMetaObject::invokeMethod(side_, [side = side_, data] { side->write(data); }, Qt::QueuedConnection);
    checkBacklog();
}

void WSConnection::written(qint64 sends)
{
    if (!closed_)
        pending_ = int(sent_ - sends);
}

void WSConnection::checkBacklog()
{
    if (closed_ || !backlog_->overflows())
        return;
    log(notReadingLine(remoteIP_, backlog_->total()));
    closeSocket(Close::notReading.code, Close::notReading.reason, true);
}

void WSConnection::close(quint16 code, const QString& reason) { closeSocket(code, reason, false); }

void WSConnection::closeSocket(quint16 code, const QString& reason, bool abort)
{
    if (closed_)
        return;
    QMetaObject::invokeMethod(side_, [side = side_, code, reason, abort] { side->close(code, reason, abort); },
                              Qt::QueuedConnection);
    finish();
}

void WSConnection::admitted()
{
    admitted_ = true;
    probation_->stop();
    slot_.reset();
}

void WSConnection::refuse(const QString& why)
{
    log(QStringLiteral("closed ") + remoteIP_ + QStringLiteral(" (") + why + QLatin1Char(')'));
    close(Close::signIn);
}

void WSConnection::finish()
{
    if (closed_)
        return;
    closed_ = true;
    pending_ = 0;
    early_.clear();
    probation_->stop();
    slot_.reset();
    auto closeHandler = std::move(onClose);
    onClose = nullptr;
    onMessage = nullptr;
    if (closeHandler)
        closeHandler();
}

// ---- Server ----

Server::Server(int port, const std::optional<QString>& interface, Admit admit, OnSession onSession,
               std::function<void()> onFailed)
    : admit_(std::move(admit))
    , onSession_(std::move(onSession))
    , onFailed_(std::move(onFailed))
    , counts_(std::make_shared<PendingCounts>())
{
    if (port < 1 || port > 65535)
        throw AgentError(QStringLiteral("bad port %1").arg(port));
    os::SocketFd fd = os::openListenSocket(static_cast<quint16>(port), interface);

    // The agent accepts TCP itself and lets Qt upgrade each socket: that way it sees every
    // connection before its handshake (to bound them), and the accepted sockets are not children
    // of the listener, so replacing the listener leaves live connections alone.
    tcp_ = std::make_unique<QTcpServer>();
    if (!tcp_->setSocketDescriptor(fd.get()))
        throw AgentError(tcp_->errorString());
    fd.release(); // the server owns the descriptor now
    upgrader_ = std::make_unique<QWebSocketServer>(QString(), QWebSocketServer::NonSecureMode);
    upgrader_->setMaxPendingConnections(kMaxWaiting);

    connect(tcp_.get(), &QTcpServer::newConnection, this, &Server::onTcpConnection);
    connect(tcp_.get(), &QTcpServer::acceptError, this, &Server::onAcceptError);
    connect(upgrader_.get(), &QWebSocketServer::newConnection, this, &Server::onWebSocket);
}

Server::~Server()
{
    for (auto& [key, handshake] : handshakes_) {
        if (QTcpSocket* socket = handshake.socket.data()) {
            QObject::disconnect(socket, nullptr, this, nullptr);
            socket->abort();
            socket->deleteLater();
        }
    }
}

void Server::cancel()
{
    if (tcp_)
        tcp_->close();
}

quint16 Server::port() const { return tcp_ ? tcp_->serverPort() : 0; }

void Server::onAcceptError()
{
    // Qt stops accepting after an error. Running out of descriptors is this process's trouble
    // and passes; the listener itself is fine.
    if (tcp_->serverError() == QAbstractSocket::SocketResourceError) {
        log(QStringLiteral("listener: cannot accept (") + tcp_->errorString()
            + QStringLiteral("); accepting again in 1s"));
        QTimer::singleShot(kAcceptPauseMs, this, [this] { tcp_->resumeAccepting(); });
        return;
    }
    log(QStringLiteral("listener failed: ") + tcp_->errorString());
    if (onFailed_)
        onFailed_();
}

void Server::onTcpConnection()
{
    while (QTcpSocket* raw = tcp_->nextPendingConnection()) {
        raw->setParent(nullptr); // Qt's upgrader deletes it when it disconnects before upgrading
        const QString peer = WSConnection::remoteText(raw->peerAddress().toString());
        const auto it = counts_->perPeer.find(peer);
        const int fromPeer = it == counts_->perPeer.end() ? 0 : it->second;
        if (fromPeer >= kMaxWaitingPerPeer || counts_->total >= kMaxWaiting) {
            if (counts_->full.insert(peer).second)
                log(QStringLiteral("refused ") + peer + QStringLiteral(" (too many connections waiting)"));
            raw->abort();
            raw->deleteLater();
            continue;
        }

        const std::pair<QString, quint16> key{raw->peerAddress().toString(), raw->peerPort()};
        Handshake& h = handshakes_[key];
        h.socket = raw;
        h.slot = std::make_unique<PendingSlot>(counts_, peer);
        h.timer = std::make_unique<QTimer>();
        h.timer->setSingleShot(true);
        QPointer<QTcpSocket> guard(raw);
        connect(h.timer.get(), &QTimer::timeout, this, [guard] {
            if (guard)
                guard->abort();
        });
        h.timer->start(kHandshakeMs);
        h.guard = std::make_unique<FrameGuard>(raw);
        const QObject* origin = raw;
        auto forget = [this, key, origin] {
            const auto found = handshakes_.find(key);
            if (found != handshakes_.end() && (!found->second.socket || found->second.socket.data() == origin))
                handshakes_.erase(found);
        };
        connect(raw, &QTcpSocket::disconnected, this, forget);
        connect(raw, &QObject::destroyed, this, forget);
        upgrader_->handleConnection(raw);
    }
}

void Server::onWebSocket()
{
    while (QWebSocket* raw = upgrader_->nextPendingConnection()) {
        std::unique_ptr<QWebSocket> socket(raw);
        socket->setParent(nullptr);
        std::unique_ptr<PendingSlot> slot;
        std::unique_ptr<FrameGuard> guard;
        QTcpSocket* tcp = nullptr;
        const auto found = handshakes_.find({socket->peerAddress().toString(), socket->peerPort()});
        if (found != handshakes_.end()) {
            tcp = found->second.socket.data();
            if (tcp)
                QObject::disconnect(tcp, nullptr, this, nullptr);
            slot = std::move(found->second.slot);
            guard = std::move(found->second.guard);
            handshakes_.erase(found);
        }
        // Its TCP socket is gone already (it left during the handshake): nothing to move or serve.
        if (!tcp)
            continue;
        auto conn = std::make_unique<WSConnection>(std::move(socket), tcp, std::move(slot), std::move(guard));
        if (conn->closed()) {
            conn.release()->deleteLater(); // closed for what it sent along with its handshake
            continue;
        }
        WSConnection* c = conn.get();
        const QString remote = c->remoteIP();
        waiting_.push_back(std::make_unique<Waiting>(Waiting{std::move(conn), nullptr}));
        // A client that leaves before the decision takes the decision (a running lookup) with it.
        c->onClose = [this, c] {
            if (std::unique_ptr<Waiting> gone = takeWaiting(c)) {
                gone->decision.reset();
                gone->conn.release()->deleteLater(); // it is inside its own socket's signal
            }
        };
        QPointer<Server> self(this);
        QPointer<WSConnection> weak(c);
        std::unique_ptr<QObject> decision = admit_(remote, [self, weak](Verdict verdict) {
            if (self && weak)
                self->decided(weak.data(), verdict);
        });
        const auto entry = std::find_if(waiting_.begin(), waiting_.end(), [c](const auto& w) { return w->conn.get() == c; });
        if (entry != waiting_.end())
            (*entry)->decision = std::move(decision);
    }
}

std::unique_ptr<Server::Waiting> Server::takeWaiting(WSConnection* conn)
{
    const auto it = std::find_if(waiting_.begin(), waiting_.end(), [conn](const auto& w) { return w->conn.get() == conn; });
    if (it == waiting_.end())
        return nullptr;
    std::unique_ptr<Waiting> owned = std::move(*it);
    waiting_.erase(it);
    return owned;
}

void Server::decided(WSConnection* conn, Verdict verdict)
{
    std::unique_ptr<Waiting> owned = takeWaiting(conn);
    if (!owned)
        return;
    // The decision may be the caller of this function: it goes once the call has returned.
    if (owned->decision)
        owned->decision.release()->deleteLater();
    std::unique_ptr<WSConnection> c = std::move(owned->conn);
    c->onClose = nullptr;
    if (c->closed())
        return;
    switch (verdict) {
    case Verdict::trusted:
        c->admitted();
        onSession_(std::move(c));
        return;
    case Verdict::admit:
        onSession_(std::move(c));
        return;
    case Verdict::refuse:
        c->close(Close::notYours);
        return;
    case Verdict::unavailable:
        c->close(kTryAgainLater, kCannotCheck);
        return;
    }
}

} // namespace core
