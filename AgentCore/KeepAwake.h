#pragma once

#include "IdleInhibitor.h"

#include <QString>
#include <QTimer>

#include <memory>

namespace core {

// Keeps the desktop awake while a phone session lasts: an idle and sleep inhibition, and user
// activity declared every 30 seconds so that screen savers which ignore inhibitions stay off too.
// Main thread. The inhibitor is borrowed from the desktop backend, which outlives every session.
class KeepAwake {
public:
    static inline const QString name = QStringLiteral("Dorvane phone session");

    explicit KeepAwake(IdleInhibitor& inhibitor);

    // Both idempotent; a stopped KeepAwake may be started again.
    void start();
    void stop();
    bool started() const { return timer_ != nullptr; }

private:
    IdleInhibitor* const inhibitor_;
    std::unique_ptr<IdleInhibitor::Hold> hold_;
    std::unique_ptr<QTimer> timer_;
};

} // namespace core
