#include "FakeLogind.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QUuid>

#include <fcntl.h>
#include <unistd.h>

namespace {

const QString kService = QStringLiteral("org.freedesktop.login1");
const QString kSessionPath = QStringLiteral("/org/freedesktop/login1/session/_31");

QString connectionName(const char* what)
{
    return QString::fromLatin1(what) + QUuid::createUuid().toString(QUuid::WithoutBraces);
}

} // namespace

FakeLogind::FakeLogind(const QString& busAddress)
    : bus_(QDBusConnection::connectToBus(busAddress, connectionName("fake-logind-")))
{
    ok_ = bus_.isConnected()
        && bus_.registerObject(QStringLiteral("/org/freedesktop/login1"), this, QDBusConnection::ExportAllSlots)
        && bus_.registerObject(kSessionPath, &session_, QDBusConnection::ExportAllProperties)
        && bus_.registerService(kService);
}

FakeLogind::~FakeLogind()
{
    for (QSocketNotifier* n : held_)
        ::close(int(n->socket()));
    QDBusConnection::disconnectFromBus(bus_.name());
}

void FakeLogind::setLocked(bool locked)
{
    session_.locked = locked;
    QDBusMessage changed = QDBusMessage::createSignal(kSessionPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("PropertiesChanged"));
    changed << QStringLiteral("org.freedesktop.login1.Session")
            << QVariantMap{{QStringLiteral("LockedHint"), locked}} << QStringList{};
    bus_.send(changed);
}

QDBusObjectPath FakeLogind::GetSession(const QString&) { return QDBusObjectPath(kSessionPath); }

QDBusObjectPath FakeLogind::GetSessionByPID(uint) { return QDBusObjectPath(kSessionPath); }

QDBusUnixFileDescriptor FakeLogind::Inhibit(const QString&, const QString&, const QString&, const QString&)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return {};
    ++taken_;
    QDBusUnixFileDescriptor given(ends[1]); // a copy, which the reply carries away
    ::close(ends[1]);
    auto* notifier = new QSocketNotifier(ends[0], QSocketNotifier::Read, this);
    // Nothing is ever written: readable means every copy of the write end is closed.
    connect(notifier, &QSocketNotifier::activated, this, [this, notifier] {
        notifier->setEnabled(false);
        ::close(int(notifier->socket()));
        std::erase(held_, notifier);
        notifier->deleteLater();
    });
    held_.push_back(notifier);
    return given;
}

FakeScreenSaver::FakeScreenSaver(const QString& busAddress)
    : bus_(QDBusConnection::connectToBus(busAddress, connectionName("fake-screensaver-")))
{
    ok_ = bus_.isConnected()
        && bus_.registerObject(QStringLiteral("/org/freedesktop/ScreenSaver"), this, QDBusConnection::ExportAllSlots)
        && bus_.registerService(QStringLiteral("org.freedesktop.ScreenSaver"));
}

FakeScreenSaver::~FakeScreenSaver()
{
    QDBusConnection::disconnectFromBus(bus_.name());
}

uint FakeScreenSaver::Inhibit(const QString&, const QString&)
{
    const QString holder = message().service();
    const uint cookie = next_++;
    cookies_.insert(cookie, holder);
    auto* watcher = new QDBusServiceWatcher(holder, bus_, QDBusServiceWatcher::WatchForUnregistration, this);
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this, [this, watcher](const QString& gone) {
        cookies_.removeIf([&](auto it) { return it.value() == gone; });
        watcher->deleteLater();
    });
    return cookie;
}

void FakeScreenSaver::UnInhibit(uint cookie) { cookies_.remove(cookie); }
