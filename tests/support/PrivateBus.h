#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// A D-Bus daemon of the test's own, standing in for the system or the session bus: nothing on it
// but what the test registers (it activates no services). Stops with the object.
class PrivateBus {
public:
    PrivateBus();
    ~PrivateBus();
    // Empty when the daemon did not start.
    const QString& address() const { return address_; }

private:
    QTemporaryDir dir_;
    QProcess daemon_;
    QString address_;
};
