#include "MutterBus.h"

#include <QDBusConnectionInterface>

namespace core::mutter {

QStringList requiredServices() { return {kRemoteDesktop, kScreenCast, kDisplayConfig}; }

QStringList missingServices(const QDBusConnection& bus, const QStringList& required)
{
    QStringList missing;
    QDBusConnectionInterface* names = bus.isConnected() ? bus.interface() : nullptr;
    for (const QString& service : required) {
        if (!names || !names->isServiceRegistered(service).value())
            missing << service;
    }
    return missing;
}

QDBusMessage call(const QDBusConnection& bus, const QString& service, const QString& path,
                  const QString& interface, const QString& method, const QVariantList& args)
{
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(args);
    QDBusMessage reply = bus.call(message, QDBus::Block, kCallTimeoutMs);
    if (reply.type() == QDBusMessage::ErrorMessage)
        return message.createErrorReply(reply.errorName(), method + QStringLiteral(": ") + reply.errorMessage());
    return reply;
}

} // namespace core::mutter
