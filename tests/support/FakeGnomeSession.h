#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QVariantMap>
#include <QSet>
#include <QThread>

#include <atomic>
#include <memory>
#include <mutex>

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
    std::atomic<int> asked{0};
    std::atomic<int> answered{0};
    // While set, Inhibit waits before it answers (on the fake's own thread).
    std::atomic<bool> holdAnswers{false};
public slots:
    uint Inhibit(const QString& appId, uint toplevelXid, const QString& reason, uint flags);
    void Uninhibit(uint cookie);

private:
    QSet<uint> cookies_;
    uint next_ = 1;
};

// org.gnome.Shell.Introspect: the shell's windows, or a refusal (as GNOME Shell answers callers
// outside its allow list), or no answer at all.
class FakeShellIntrospect : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.gnome.Shell.Introspect")
public:
    using Windows = QMap<quint64, QVariantMap>;
    enum class Mode { answer, refuse, silent };
    std::atomic<Mode> mode{Mode::answer};
    std::atomic<int> asked{0};
    void setWindows(Windows windows);
public slots:
    Windows GetWindows();
signals:
    void WindowsChanged();

private:
    std::mutex mutex_;
    Windows windows_;
};

// GNOME's screen saver, session manager and shell introspection on a private session bus, answered from a thread of
// their own, so that blocking calls from this process's main thread get their answer.
class FakeGnomeSession {
public:
    explicit FakeGnomeSession(const QString& busAddress);
    ~FakeGnomeSession();

    bool ok() const { return ok_; }
    void setLocked(bool locked);
    int held() const { return manager_->held; }
    // Inhibit calls received, answered or not.
    int asked() const { return manager_->asked; }
    int answered() const { return manager_->answered; }
    // Inhibit answers wait until this is turned off again.
    void holdAnswers(bool on)
    {
        manager_->holdAnswers = on;
        manager_->holdAnswers.notify_all();
    }
    uint lastFlags() const { return manager_->lastFlags; }
    FakeShellIntrospect& introspect() { return *introspect_; }

private:
    QDBusConnection bus_;
    // Made and destroyed on thread_, while registered: QtDBus wants both on the object's thread.
    std::unique_ptr<FakeGnomeScreenSaver> saver_;
    std::unique_ptr<FakeSessionManager> manager_;
    std::unique_ptr<FakeShellIntrospect> introspect_;
    QObject context_;
    QThread thread_;
    bool ok_ = false;
};
