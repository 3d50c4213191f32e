#include "Platform.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>

#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace core::Platform {

namespace {
constexpr int kHostnameTimeoutMs = 1000;
} // namespace

QString computerName()
{
    // One plain call: a proxy object would first introspect the service synchronously, with D-Bus's
    // default 25 s timeout, on every hello.
    QDBusConnection bus = QDBusConnection::systemBus();
    if (bus.isConnected()) {
        QDBusMessage get = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.hostname1"), QStringLiteral("/org/freedesktop/hostname1"),
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        get << QStringLiteral("org.freedesktop.hostname1") << QStringLiteral("PrettyHostname");
        const QDBusReply<QDBusVariant> reply = bus.call(get, QDBus::Block, kHostnameTimeoutMs);
        if (reply.isValid()) {
            const QString pretty = reply.value().variant().toString();
            if (!pretty.isEmpty())
                return pretty;
        }
    }
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) == 0 && host[0] != '\0')
        return QString::fromLocal8Bit(host);
    return QStringLiteral("Mac");
}

QString userName()
{
    const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_name)
        return QString::fromLocal8Bit(found->pw_name);
    return qEnvironmentVariable("USER");
}

} // namespace core::Platform
