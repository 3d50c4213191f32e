#include "ScreenSaver.h"

#include "CookieHold.h"
#include "Log.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingReply>

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
    return std::make_unique<CookieHold>(bus_.asyncCall(m), [bus = bus_](quint32 cookie) { unInhibit(bus, cookie); },
                                        QStringLiteral("screen saver"));
}

} // namespace core::os
