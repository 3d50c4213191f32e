#include "MutterScreenCast.h"

#include "Log.h"
#include "MutterBus.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>

namespace core::mutter {

namespace {

// Mutter makes the stream's PipeWire node right after Start; a loaded machine may take a while.
constexpr std::chrono::seconds kNodeLimit{10};
// ScreenCast "cursor-mode": drawn into the frames.
constexpr uint kCursorEmbedded = 2;

QString objectPath(const QDBusMessage& reply, const QString& what)
{
    if (reply.type() == QDBusMessage::ErrorMessage)
        throw AgentError(QStringLiteral("Screen capture failed: ") + reply.errorMessage());
    const QString path = reply.arguments().value(0).value<QDBusObjectPath>().path();
    if (path.isEmpty())
        throw AgentError(QStringLiteral("Screen capture failed: ") + what + QStringLiteral(" gave no object"));
    return path;
}

} // namespace

class CastSignals::Receiver : public QObject {
    Q_OBJECT
public:
    explicit Receiver(CastSignals& owner) : owner_(owner) { }

public slots:
    void streamAdded(quint32 node, const QDBusMessage& message) { owner_.nodeAdded(message.path(), node); }
    void monitorsChanged() { owner_.monitorsChanged(); }

private:
    CastSignals& owner_;
};

CastSignals::CastSignals(QDBusConnection bus)
    : bus_(std::move(bus))
    , receiver_(std::make_unique<Receiver>(*this))
{
    thread_.setObjectName(QStringLiteral("mutter-signals"));
    receiver_->moveToThread(&thread_);
    thread_.start();
    // Any stream's path: streams are made later, and each must be heard from its first signal.
    if (!bus_.connect(kScreenCast, QString(), kScreenCastStream, QStringLiteral("PipeWireStreamAdded"),
                      receiver_.get(), SLOT(streamAdded(quint32, QDBusMessage))))
        log(QStringLiteral("capture: cannot listen for Mutter's screen cast streams"));
    bus_.connect(kDisplayConfig, kDisplayConfigPath, kDisplayConfig, QStringLiteral("MonitorsChanged"),
                 receiver_.get(), SLOT(monitorsChanged()));
}

CastSignals::~CastSignals()
{
    bus_.disconnect(kScreenCast, QString(), kScreenCastStream, QStringLiteral("PipeWireStreamAdded"), receiver_.get(),
                    SLOT(streamAdded(quint32, QDBusMessage)));
    bus_.disconnect(kDisplayConfig, kDisplayConfigPath, kDisplayConfig, QStringLiteral("MonitorsChanged"),
                    receiver_.get(), SLOT(monitorsChanged()));
    thread_.quit();
    thread_.wait();
}

std::optional<quint32> CastSignals::waitForNode(const QString& streamPath, std::chrono::milliseconds limit)
{
    std::unique_lock lock(mutex_);
    if (!added_.wait_for(lock, limit, [&] { return nodes_.count(streamPath) != 0; }))
        return std::nullopt;
    return nodes_.at(streamPath);
}

void CastSignals::forget(const QString& streamPath)
{
    std::lock_guard lock(mutex_);
    nodes_.erase(streamPath);
}

void CastSignals::nodeAdded(const QString& streamPath, quint32 node)
{
    {
        std::lock_guard lock(mutex_);
        nodes_[streamPath] = node;
    }
    added_.notify_all();
}

CastSession::CastSession(QDBusConnection bus, CastSignals& announced, const QStringList& connectors, bool waitForNodes)
    : bus_(std::move(bus))
    , signals_(announced)
{
    session_ = objectPath(call(bus_, kRemoteDesktop, kRemoteDesktopPath, kRemoteDesktop, QStringLiteral("CreateSession")),
                          QStringLiteral("CreateSession"));
    try {
        const QDBusMessage id = call(bus_, kRemoteDesktop, session_, QStringLiteral("org.freedesktop.DBus.Properties"),
                                     QStringLiteral("Get"), {kRemoteDesktopSession, QStringLiteral("SessionId")});
        if (id.type() == QDBusMessage::ErrorMessage)
            throw AgentError(QStringLiteral("Screen capture failed: ") + id.errorMessage());
        const QString sessionId = id.arguments().value(0).value<QDBusVariant>().variant().toString();
        const QVariantMap linked{{QStringLiteral("remote-desktop-session-id"), sessionId}};
        const QString cast = objectPath(
            call(bus_, kScreenCast, kScreenCastPath, kScreenCast, QStringLiteral("CreateSession"), {linked}),
            QStringLiteral("CreateSession"));
        const QVariantMap options{{QStringLiteral("cursor-mode"), kCursorEmbedded}};
        for (const QString& connector : connectors) {
            streams_.push_back({connector, objectPath(call(bus_, kScreenCast, cast, kScreenCastSession,
                                                           QStringLiteral("RecordMonitor"), {connector, options}),
                                                      QStringLiteral("RecordMonitor")),
                                0});
        }
        const QDBusMessage started = call(bus_, kRemoteDesktop, session_, kRemoteDesktopSession, QStringLiteral("Start"));
        if (started.type() == QDBusMessage::ErrorMessage)
            throw AgentError(QStringLiteral("Screen capture failed: ") + started.errorMessage());
        for (Stream& stream : streams_) {
            if (!waitForNodes)
                break;
            const std::optional<quint32> node = signals_.waitForNode(stream.path, kNodeLimit);
            if (!node)
                throw AgentError(QStringLiteral("Screen capture failed: Mutter announced no PipeWire stream"));
            stream.node = *node;
        }
    } catch (const AgentError&) {
        stop();
        throw;
    }
}

CastSession::~CastSession() { stop(); }

void CastSession::stop()
{
    call(bus_, kRemoteDesktop, session_, kRemoteDesktopSession, QStringLiteral("Stop"));
    for (const Stream& stream : streams_)
        signals_.forget(stream.path);
}

} // namespace core::mutter

#include "MutterScreenCast.moc"
