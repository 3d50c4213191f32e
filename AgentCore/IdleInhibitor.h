#pragma once

#include <QString>

#include <memory>

namespace core {

// Keeps the desktop from idling into its screen saver or into sleep. Main thread.
class IdleInhibitor {
public:
    // One inhibition, released when the hold is destroyed (also when the desktop went away since).
    class Hold {
    public:
        virtual ~Hold() = default;
    };

    virtual ~IdleInhibitor() = default;
    // Inhibits idling and sleep for as long as the hold lives, `why` naming it to the desktop.
    // Never fails and never waits for the desktop: what it cannot do has been logged once.
    virtual std::unique_ptr<Hold> hold(const QString& why) = 0;
    // Tells the desktop the user is active now, restarting its idle clock.
    virtual void declareActivity() = 0;
};

} // namespace core
