#include "Notifier.h"

#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QVariantMap>

namespace ui {

Notifier::Notifier(QDBusConnection bus)
    : bus_(std::move(bus))
{
}

void Notifier::unpaired()
{
    if (!bus_.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
                                                       QStringLiteral("/org/freedesktop/Notifications"),
                                                       QStringLiteral("org.freedesktop.Notifications"),
                                                       QStringLiteral("Notify"));
    // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout (-1: the server's).
    call << QStringLiteral("Dorvane") << 0u << QStringLiteral("remote-agent") << QStringLiteral("Dorvane")
         << QStringLiteral("This Mac was unpaired.") << QStringList() << QVariantMap() << -1;
    // Asynchronous and unanswered: an absent service costs one error reply, which nobody waits for.
    bus_.asyncCall(call);
}

} // namespace ui
