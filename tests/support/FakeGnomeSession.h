#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QSet>
#include <QThread>

#include <atomic>
#include <memory>

// org.gnome.ScreenSaver: whether the lock screen shows.
class FakeGnomeScreenSaver : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.gnome.ScreenSaver")
public:
    std::atomic<bool> active{false};
public slots:
    bool GetActive() { return active; }
signals:
    void ActiveChanged(bool active);
};

// org.gnome.SessionManager: inhibitions by cookie.
class FakeSessionManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.gnome.SessionManager")
public:
    std::atomic<int> held{0};
    std::atomic<uint> lastFlags{0};
public slots:
    uint Inhibit(const QString& appId, uint toplevelXid, const QString& reason, uint flags);
    void Uninhibit(uint cookie);

private:
    QSet<uint> cookies_;
    uint next_ = 1;
};

// GNOME's screen saver and session manager on a private session bus, answered from a thread of
// their own, so that blocking calls from this process's main thread get their answer.
class FakeGnomeSession {
public:
    explicit FakeGnomeSession(const QString& busAddress);
    ~FakeGnomeSession();

    bool ok() const { return ok_; }
    void setLocked(bool locked);
    int held() const { return manager_->held; }
    uint lastFlags() const { return manager_->lastFlags; }

private:
    QDBusConnection bus_;
    // Made and destroyed on thread_, while registered: QtDBus wants both on the object's thread.
    std::unique_ptr<FakeGnomeScreenSaver> saver_;
    std::unique_ptr<FakeSessionManager> manager_;
    QObject context_;
    QThread thread_;
    bool ok_ = false;
};
