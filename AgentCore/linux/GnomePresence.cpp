#include "GnomePresence.h"

#include "CookieHold.h"
#include "DesktopPresence.h"
#include "Log.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingReply>

namespace core::os {

namespace {

const QString kScreenSaver = QStringLiteral("org.gnome.ScreenSaver");
const QString kScreenSaverPath = QStringLiteral("/org/gnome/ScreenSaver");
const QString kSessionManager = QStringLiteral("org.gnome.SessionManager");
const QString kSessionManagerPath = QStringLiteral("/org/gnome/SessionManager");
// GNOME answers at once; one that does not must not hold the main thread for long.
constexpr int kCallTimeoutMs = 3000;
// GsmInhibitorFlag: suspending and going idle.
constexpr quint32 kInhibitSuspend = 4;
constexpr quint32 kInhibitIdle = 8;

bool served(const QDBusConnection& bus, const QString& service)
{
    return bus.isConnected() && bus.interface()->isServiceRegistered(service).value();
}

} // namespace

GnomePresence::GnomePresence(QDBusConnection bus)
    : bus_(std::move(bus))
    , screenSaver_(served(bus_, kScreenSaver))
    , sessionManager_(served(bus_, kSessionManager))
    , fallback_(std::make_unique<DesktopPresence>(std::function<void()>()))
{
    if (screenSaver_) {
        bus_.connect(kScreenSaver, kScreenSaverPath, kScreenSaver, QStringLiteral("ActiveChanged"), this, SLOT(activeChanged(bool)));
        const QDBusPendingReply<bool> reply = bus_.call(
            QDBusMessage::createMethodCall(kScreenSaver, kScreenSaverPath, kScreenSaver, QStringLiteral("GetActive")), QDBus::Block,
            kCallTimeoutMs);
        active_ = !reply.isError() && reply.value();
    } else {
        connect(fallback_.get(), &LockState::changed, this, &LockState::changed);
    }
    log(QStringLiteral("presence: lock state from %1, keep-awake through %2")
            .arg(screenSaver_ ? QStringLiteral("GNOME's screen saver") : QStringLiteral("logind"),
                 sessionManager_ ? QStringLiteral("GNOME's session manager") : QStringLiteral("logind")));
}

GnomePresence::~GnomePresence()
{
    if (screenSaver_)
        bus_.disconnect(kScreenSaver, kScreenSaverPath, kScreenSaver, QStringLiteral("ActiveChanged"), this, SLOT(activeChanged(bool)));
}

bool GnomePresence::locked() const { return screenSaver_ ? active_ : fallback_->locked(); }

void GnomePresence::activeChanged(bool active)
{
    if (active == active_)
        return;
    active_ = active;
    emit changed(active);
}

std::unique_ptr<IdleInhibitor::Hold> GnomePresence::hold(const QString& why)
{
    if (!sessionManager_)
        return fallback_->hold(why);
    QDBusMessage m = QDBusMessage::createMethodCall(kSessionManager, kSessionManagerPath, kSessionManager, QStringLiteral("Inhibit"));
    m << QStringLiteral("Dorvane") << quint32(0) << why << (kInhibitIdle | kInhibitSuspend);
    const auto release = [bus = bus_](quint32 cookie) {
        QDBusMessage un = QDBusMessage::createMethodCall(kSessionManager, kSessionManagerPath, kSessionManager, QStringLiteral("Uninhibit"));
        un << cookie;
        bus.call(un, QDBus::NoBlock);
    };
    return std::make_unique<CookieHold>(bus_.asyncCall(m, kCallTimeoutMs), release, QStringLiteral("session manager"));
}

void GnomePresence::declareActivity() { fallback_->declareActivity(); }

} // namespace core::os
