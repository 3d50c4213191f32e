#pragma once

#include "IdleInhibitor.h"
#include "LockState.h"

#include <QDBusConnection>

#include <memory>

namespace core::os {

class DesktopPresence;

// Lock state and keep-awake in a GNOME session: GNOME's screen saver says whether the screen is
// locked and its session manager takes the inhibitions (idle and suspend), each where it serves
// on the session bus when the agent starts; what is missing comes from DesktopPresence (logind),
// as elsewhere. Main thread.
class GnomePresence : public LockState, public IdleInhibitor {
    Q_OBJECT
public:
    explicit GnomePresence(QDBusConnection bus);
    ~GnomePresence() override;

    bool locked() const override;
    std::unique_ptr<Hold> hold(const QString& why) override;
    void declareActivity() override;

private slots:
    void activeChanged(bool active);

private:
    QDBusConnection bus_;
    bool screenSaver_ = false;
    bool sessionManager_ = false;
    bool active_ = false;
    std::unique_ptr<DesktopPresence> fallback_;
};

} // namespace core::os
