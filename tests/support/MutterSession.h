#pragma once

#include "PrivateBus.h"

#include <QDBusConnection>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>

// A headless GNOME session of the test's own: a private session bus with PipeWire, WirePlumber
// and Mutter (one 1920x1080 virtual monitor, Wayland only) on it, in a runtime directory of its
// own. This process's PipeWire and Wayland clients are pointed at it while it lives. Everything stops with
// the object.
class MutterSession {
public:
    MutterSession();
    ~MutterSession();

    // Empty when everything runs; else what failed, for the test to report.
    const QString& error() const { return error_; }
    // A connection of this process to the session's bus.
    QDBusConnection bus() const;
    // Starts a Wayland client of the session (WAYLAND_DISPLAY and runtime directory set).
    void startClient(QProcess& process, const QString& program, const QStringList& arguments) const;
    // Mutter's process id (for its CPU time).
    qint64 mutterPid() const { return mutter_.processId(); }
    // Runs `gdbus call` on the session's bus; its standard output, or empty (and error set) on failure.
    QString gdbusCall(const QStringList& arguments);

private:
    void start();
    bool launch(QProcess& process, const QString& program, const QStringList& arguments);

    QTemporaryDir dir_;
    PrivateBus bus_;
    QProcess pipewire_;
    QProcess wireplumber_;
    QProcess mutter_;
    QByteArray previousRuntime_;
    bool hadRuntime_ = false;
    QByteArray previousDisplay_;
    bool hadDisplay_ = false;
    QString error_;
};
