#include "Logind.h"

#include "Log.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>

#include <unistd.h>

namespace core::os {

namespace {

const QString kService = QStringLiteral("org.freedesktop.login1");
const QString kManagerPath = QStringLiteral("/org/freedesktop/login1");
const QString kManager = QStringLiteral("org.freedesktop.login1.Manager");
const QString kSession = QStringLiteral("org.freedesktop.login1.Session");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kLockedHint = QStringLiteral("LockedHint");
// Start-up asks logind a few questions on the main thread; a hung logind must not hold it long.
constexpr int kCallTimeoutMs = 3000;

QDBusMessage managerCall(const QString& method, const QVariant& argument)
{
    QDBusMessage m = QDBusMessage::createMethodCall(kService, kManagerPath, kManager, method);
    m << argument;
    return m;
}

// A D-Bus variant's content, whether or not QtDBus has unwrapped it already.
QVariant plain(const QVariant& v)
{
    return v.userType() == qMetaTypeId<QDBusVariant>() ? v.value<QDBusVariant>().variant() : v;
}

// The logind descriptor is the inhibition: it lasts until every copy of it is closed, which also
// happens when the agent dies.
class InhibitorHold : public IdleInhibitor::Hold {
public:
    explicit InhibitorHold(const QDBusPendingCall& call)
        : watcher_(std::make_unique<QDBusPendingCallWatcher>(call))
    {
        // A hold dropped before the answer takes the watcher with it; the late reply, descriptor
        // and all, is then freed unread, which closes the descriptor.
        QObject::connect(watcher_.get(), &QDBusPendingCallWatcher::finished, watcher_.get(), [this] {
            const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *watcher_;
            if (reply.isError())
                log(QStringLiteral("keep-awake: logind inhibit failed: ") + reply.error().message());
            else
                fd_ = reply.value();
        });
    }

private:
    QDBusUnixFileDescriptor fd_;
    std::unique_ptr<QDBusPendingCallWatcher> watcher_;
};

} // namespace

std::unique_ptr<Logind> Logind::connect(QString& why)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        why = QStringLiteral("no system bus");
        return nullptr;
    }
    std::vector<QDBusMessage> asks;
    const QString id = qEnvironmentVariable("XDG_SESSION_ID");
    if (!id.isEmpty())
        asks.push_back(managerCall(QStringLiteral("GetSession"), id));
    asks.push_back(managerCall(QStringLiteral("GetSessionByPID"), quint32(::getpid())));
    // An agent started as a user service belongs to no session; "auto" is then the user's
    // graphical session.
    asks.push_back(managerCall(QStringLiteral("GetSession"), QStringLiteral("auto")));
    for (const QDBusMessage& ask : asks) {
        const QDBusMessage reply = bus.call(ask, QDBus::Block, kCallTimeoutMs);
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
            const QString path = reply.arguments().constFirst().value<QDBusObjectPath>().path();
            if (!path.isEmpty())
                return std::unique_ptr<Logind>(new Logind(bus, path));
        }
        why = reply.errorMessage();
        const QString error = reply.errorName();
        if (error == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown")
            || error == QLatin1String("org.freedesktop.DBus.Error.NoReply")
            || error == QLatin1String("org.freedesktop.DBus.Error.Timeout"))
            break;
    }
    return nullptr;
}

Logind::Logind(QDBusConnection bus, QString session)
    : bus_(std::move(bus))
    , session_(std::move(session))
{
    // Subscribed before the first read, so that no change falls between the two.
    bus_.connect(kService, session_, kProperties, QStringLiteral("PropertiesChanged"), this,
                 SLOT(propertiesChanged(QString, QVariantMap, QStringList)));
    QDBusMessage get = QDBusMessage::createMethodCall(kService, session_, kProperties, QStringLiteral("Get"));
    get << kSession << kLockedHint;
    const QDBusMessage reply = bus_.call(get, QDBus::Block, kCallTimeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
        locked_ = plain(reply.arguments().constFirst()).toBool();
}

void Logind::propertiesChanged(const QString& interface, const QVariantMap& changed, const QStringList&)
{
    const auto hint = changed.constFind(kLockedHint);
    if (interface != kSession || hint == changed.constEnd())
        return;
    locked_ = plain(*hint).toBool();
    emit lockedHintChanged(locked_);
}

std::unique_ptr<IdleInhibitor::Hold> Logind::inhibit(const QString& why)
{
    QDBusMessage m = QDBusMessage::createMethodCall(kService, kManagerPath, kManager, QStringLiteral("Inhibit"));
    m << QStringLiteral("idle:sleep") << QStringLiteral("Dorvane") << why << QStringLiteral("block");
    return std::make_unique<InhibitorHold>(bus_.asyncCall(m));
}

} // namespace core::os
