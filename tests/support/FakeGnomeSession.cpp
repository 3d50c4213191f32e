#include "FakeGnomeSession.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QUuid>

uint FakeSessionManager::Inhibit(const QString&, uint, const QString&, uint flags)
{
    ++asked;
    holdAnswers.wait(true);
    lastFlags = flags;
    cookies_.insert(next_);
    held = int(cookies_.size());
    ++answered;
    return next_++;
}

void FakeSessionManager::Uninhibit(uint cookie)
{
    cookies_.remove(cookie);
    held = int(cookies_.size());
}

void FakeShellIntrospect::setWindows(Windows windows)
{
    std::lock_guard lock(mutex_);
    windows_ = std::move(windows);
}

FakeShellIntrospect::Windows FakeShellIntrospect::GetWindows()
{
    ++asked;
    if (mode == Mode::refuse)
        sendErrorReply(QDBusError::AccessDenied, QStringLiteral("App introspection not allowed"));
    if (mode == Mode::silent)
        setDelayedReply(true); // and never replies
    std::lock_guard lock(mutex_);
    return windows_;
}

FakeGnomeSession::FakeGnomeSession(const QString& busAddress)
    : bus_(QDBusConnection::connectToBus(busAddress, QStringLiteral("fake-gnome-") + QUuid::createUuid().toString(QUuid::WithoutBraces)))
{
    context_.moveToThread(&thread_);
    thread_.start();
    QMetaObject::invokeMethod(
        &context_,
        [this] {
            saver_ = std::make_unique<FakeGnomeScreenSaver>();
            manager_ = std::make_unique<FakeSessionManager>();
            introspect_ = std::make_unique<FakeShellIntrospect>();
            qDBusRegisterMetaType<FakeShellIntrospect::Windows>();
            ok_ = bus_.isConnected()
                && bus_.registerObject(QStringLiteral("/org/gnome/ScreenSaver"), saver_.get(), QDBusConnection::ExportAllSlots)
                && bus_.registerObject(QStringLiteral("/org/gnome/SessionManager"), manager_.get(), QDBusConnection::ExportAllSlots)
                && bus_.registerObject(QStringLiteral("/org/gnome/Shell/Introspect"), introspect_.get(), QDBusConnection::ExportAllSlots)
                && bus_.registerService(QStringLiteral("org.gnome.Shell.Introspect"))
                && bus_.registerService(QStringLiteral("org.gnome.ScreenSaver"))
                && bus_.registerService(QStringLiteral("org.gnome.SessionManager"));
        },
        Qt::BlockingQueuedConnection);
}

FakeGnomeSession::~FakeGnomeSession()
{
    QMetaObject::invokeMethod(
        &context_,
        [this] {
            bus_.unregisterObject(QStringLiteral("/org/gnome/ScreenSaver"));
            bus_.unregisterObject(QStringLiteral("/org/gnome/SessionManager"));
            bus_.unregisterObject(QStringLiteral("/org/gnome/Shell/Introspect"));
            introspect_.reset();
            saver_.reset();
            manager_.reset();
        },
        Qt::BlockingQueuedConnection);
    thread_.quit();
    thread_.wait();
    QDBusConnection::disconnectFromBus(bus_.name());
}

void FakeGnomeSession::setLocked(bool locked)
{
    saver_->active = locked;
    QDBusMessage changed = QDBusMessage::createSignal(QStringLiteral("/org/gnome/ScreenSaver"), QStringLiteral("org.gnome.ScreenSaver"),
                                                      QStringLiteral("ActiveChanged"));
    changed << locked;
    bus_.send(changed);
}
