#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QSocketNotifier>

#include <vector>

// The one login session of FakeLogind.
class FakeLoginSession : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Session")
    Q_PROPERTY(bool LockedHint MEMBER locked)
public:
    bool locked = false;
};

// systemd-logind as the agent meets it, served from this process on a private bus: one login
// session whose LockedHint the test sets, Inhibit answered with the write end of a pipe, whose
// read end here sees the agent let go (every copy closed, also when the agent dies), and the lock
// and suspend calls recorded.
class FakeLogind : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
public:
    explicit FakeLogind(const QString& busAddress);
    ~FakeLogind() override;

    // The name and both objects are on the bus.
    bool ok() const { return ok_; }
    void setLocked(bool locked);
    // Inhibitors asked for so far, and those still held.
    int taken() const { return taken_; }
    int held() const { return int(held_.size()); }
    // The power and lock calls received, as "Member arg".
    QStringList calls;

public slots:
    QDBusObjectPath GetSession(const QString& id);
    QDBusObjectPath GetSessionByPID(uint pid);
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why, const QString& mode);
    void LockSession(const QString& id) { calls.append(QStringLiteral("LockSession ") + id); }
    void Suspend(bool interactive) { calls.append(QStringLiteral("Suspend ") + (interactive ? "true" : "false")); }

private:
    QDBusConnection bus_;
    FakeLoginSession session_;
    std::vector<QSocketNotifier*> held_; // children, one per inhibitor: the pipe's read end
    int taken_ = 0;
    bool ok_ = false;
};

// The desktop's org.freedesktop.ScreenSaver on a private session bus: counts the inhibitions held,
// dropping those of a client that leaves the bus, as desktops do.
class FakeScreenSaver : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")
public:
    explicit FakeScreenSaver(const QString& busAddress);
    ~FakeScreenSaver() override;

    bool ok() const { return ok_; }
    int held() const { return int(cookies_.size()); }

public slots:
    uint Inhibit(const QString& application, const QString& reason);
    void UnInhibit(uint cookie);
    bool GetActive() { return false; }

private:
    QDBusConnection bus_;
    QHash<uint, QString> cookies_; // cookie -> holder's unique name
    uint next_ = 1;
    bool ok_ = false;
};
