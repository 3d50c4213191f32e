#pragma once

#include "IdleInhibitor.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <memory>

namespace core::os {

// The desktop's org.freedesktop.ScreenSaver service on the session bus, where the desktop has one:
// its idle inhibitions and whether it is showing (the lock screen, on most desktops). Main thread.
class ScreenSaver : public QObject {
    Q_OBJECT
public:
    // None when the session bus has no such service.
    static std::unique_ptr<ScreenSaver> connect();

    bool active() const { return active_; }
    // Inhibits idling until the hold is destroyed; the request goes out at once.
    std::unique_ptr<IdleInhibitor::Hold> inhibit(const QString& why);

signals:
    void activeChanged(bool active);

private slots:
    void onActiveChanged(bool active);

private:
    explicit ScreenSaver(QDBusConnection bus);

    QDBusConnection bus_;
    bool active_ = false;
};

} // namespace core::os
