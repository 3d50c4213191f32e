#pragma once

#include <QDBusVirtualObject>
#include <QProcess>
#include <QStringList>

// logind's manager (org.freedesktop.login1 at /org/freedesktop/login1) on a private bus of its
// own, for an agent pointed there by DBUS_SYSTEM_BUS_ADDRESS. Answers every call with an empty
// reply and records it as "Member arg,arg" in `calls`. Calls are handled while the test's event
// loop runs.
class StandInLogind : public QDBusVirtualObject {
public:
    ~StandInLogind() override;

    // Starts the bus and claims the name; false when either fails.
    bool start();

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

    QString address; // the bus's address once started
    QStringList calls;

private:
    QProcess daemon_;
};
