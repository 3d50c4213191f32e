#pragma once

#include "IdleInhibitor.h"
#include "LockState.h"

#include <functional>
#include <memory>

namespace core::os {

class Logind;
class ScreenSaver;

// Idle inhibition and lock state from what the session offers: logind (inhibitors, LockedHint) and
// the desktop's screen saver service where there is one. Without either, the screen counts as
// unlocked and nothing is inhibited; that is logged once, and sessions carry on. Main thread.
class DesktopPresence : public LockState, public IdleInhibitor {
public:
    // `activity` restarts the display server's idle clock; may be empty.
    explicit DesktopPresence(std::function<void()> activity);
    ~DesktopPresence() override;

    bool locked() const override;
    std::unique_ptr<Hold> hold(const QString& why) override;
    void declareActivity() override;

private:
    std::unique_ptr<Logind> logind_;
    std::unique_ptr<ScreenSaver> screenSaver_;
    std::function<void()> activity_;
};

} // namespace core::os
