#include "StandInLogind.h"

#include <QDBusConnection>
#include <QDBusMessage>

namespace {
const QString kConnection = QStringLiteral("stand-in-logind");
} // namespace

StandInLogind::~StandInLogind()
{
    QDBusConnection::disconnectFromBus(kConnection);
    daemon_.kill();
    daemon_.waitForFinished(3000);
}

bool StandInLogind::start()
{
    daemon_.start(QStringLiteral("dbus-daemon"),
                  {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    if (!daemon_.waitForStarted(5000))
        return false;
    while (!daemon_.canReadLine()) {
        if (!daemon_.waitForReadyRead(10000))
            return false;
    }
    address = QString::fromUtf8(daemon_.readLine()).trimmed();
    QDBusConnection bus = QDBusConnection::connectToBus(address, kConnection);
    return bus.registerService(QStringLiteral("org.freedesktop.login1"))
        && bus.registerVirtualObject(QStringLiteral("/org/freedesktop/login1"), this);
}

bool StandInLogind::handleMessage(const QDBusMessage& message, const QDBusConnection& connection)
{
    QStringList args;
    for (const QVariant& a : message.arguments())
        args << a.toString();
    calls << message.member() + QLatin1Char(' ') + args.join(QLatin1Char(','));
    QDBusConnection(connection).send(message.createReply());
    return true;
}
