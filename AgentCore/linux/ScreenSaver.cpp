#include "ScreenSaver.h"

#include "Log.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <optional>

namespace core::os {

namespace {

const QString kService = QStringLiteral("org.freedesktop.ScreenSaver");
const QString kPath = QStringLiteral("/org/freedesktop/ScreenSaver");
const QString kInterface = QStringLiteral("org.freedesktop.ScreenSaver");
constexpr int kCallTimeoutMs = 3000;

QDBusMessage call(const QString& method)
{
    return QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
}

void unInhibit(const QDBusConnection& bus, quint32 cookie)
{
    QDBusMessage m = call(QStringLiteral("UnInhibit"));
    m << cookie;
    bus.call(m, QDBus::NoBlock);
}

// The service ties a cookie to our bus connection as well, so an agent that dies releases it too.
class CookieHold : public IdleInhibitor::Hold {
public:
    CookieHold(QDBusConnection bus, const QDBusPendingCall& pending)
        : bus_(std::move(bus))
        , watcher_(std::make_unique<QDBusPendingCallWatcher>(pending))
    {
        QObject::connect(watcher_.get(), &QDBusPendingCallWatcher::finished, watcher_.get(), [this] {
            const QDBusPendingReply<quint32> reply = *watcher_;
            if (reply.isError())
                log(QStringLiteral("keep-awake: screen saver inhibit failed: ") + reply.error().message());
            else
                cookie_ = reply.value();
        });
    }

    ~CookieHold() override
    {
        // The reply can be in while its finished() notice still waits in the event loop.
        if (!cookie_ && watcher_->isFinished()) {
            const QDBusPendingReply<quint32> reply = *watcher_;
            if (!reply.isError())
                cookie_ = reply.value();
        }
        if (cookie_) {
            unInhibit(bus_, *cookie_);
        } else if (!watcher_->isFinished()) {
            // Still on its way: the watcher outlives this hold to take back the cookie it brings.
            QDBusPendingCallWatcher* late = watcher_.release();
            late->disconnect();
            QObject::connect(late, &QDBusPendingCallWatcher::finished, late, [late, bus = bus_] {
                const QDBusPendingReply<quint32> reply = *late;
                if (!reply.isError())
                    unInhibit(bus, reply.value());
                late->deleteLater();
            });
        }
    }

private:
    QDBusConnection bus_;
    std::optional<quint32> cookie_;
    std::unique_ptr<QDBusPendingCallWatcher> watcher_;
};

} // namespace

std::unique_ptr<ScreenSaver> ScreenSaver::connect()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()->isServiceRegistered(kService))
        return nullptr;
    return std::unique_ptr<ScreenSaver>(new ScreenSaver(bus));
}

ScreenSaver::ScreenSaver(QDBusConnection bus)
    : bus_(std::move(bus))
{
    bus_.connect(kService, kPath, kInterface, QStringLiteral("ActiveChanged"), this, SLOT(onActiveChanged(bool)));
    const QDBusPendingReply<bool> reply = bus_.call(call(QStringLiteral("GetActive")), QDBus::Block, kCallTimeoutMs);
    active_ = !reply.isError() && reply.value();
}

void ScreenSaver::onActiveChanged(bool active)
{
    active_ = active;
    emit activeChanged(active);
}

std::unique_ptr<IdleInhibitor::Hold> ScreenSaver::inhibit(const QString& why)
{
    QDBusMessage m = call(QStringLiteral("Inhibit"));
    m << QStringLiteral("Dorvane") << why;
    return std::make_unique<CookieHold>(bus_, bus_.asyncCall(m));
}

} // namespace core::os
