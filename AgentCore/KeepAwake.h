#pragma once

#include "IdleInhibitor.h"

#include <QString>
#include <QTimer>

#include <chrono>
#include <memory>

namespace core {

// Keeps the desktop awake while a phone session lasts: an idle and sleep inhibition, and user
// activity declared every 30 seconds so that screen savers which ignore inhibitions stay off too.
// Main thread. The inhibitor is borrowed from the desktop backend, which outlives every session.
class KeepAwake {
public:
    static inline const QString name = QStringLiteral("Dorvane phone session");

    static constexpr std::chrono::milliseconds kActivityInterval{30000};

    // The interval is the tests' to shorten; the agent keeps the 30 seconds.
    explicit KeepAwake(IdleInhibitor& inhibitor, std::chrono::milliseconds activityInterval = kActivityInterval);

    // Both idempotent; a stopped KeepAwake may be started again.
    void start();
    void stop();
    bool started() const { return timer_ != nullptr; }

private:
    IdleInhibitor* const inhibitor_;
    const std::chrono::milliseconds activityInterval_;
    std::unique_ptr<IdleInhibitor::Hold> hold_;
    std::unique_ptr<QTimer> timer_;
};

} // namespace core
