#pragma once

#include <QDBusConnection>

namespace ui {

// The application's one desktop notification, through org.freedesktop.Notifications on the
// session bus. Without a notification service (or a bus) nothing is shown and nothing fails.
class Notifier {
public:
    explicit Notifier(QDBusConnection bus = QDBusConnection::sessionBus());
    // "This Mac was unpaired." under the title "Dorvane".
    void unpaired();

private:
    QDBusConnection bus_;
};

} // namespace ui
