#pragma once

#include "Actions.h"

#include <QString>

#include <chrono>
#include <functional>
#include <optional>

namespace core {

// What the actions do to the computer: the built-ins and the user's own commands. One per agent,
// lent to its sessions through the desktop backend; every method is called on the main thread.
class SystemActions {
public:
    using ShellDone = std::function<void(const ShellResult&)>;

    virtual ~SystemActions() = default;

    // Performs the built-in `id` (a validated id of Builtins::ids()); reports nothing, and an
    // effect that cannot be had is logged.
    virtual void perform(const QString& id, std::optional<qint64> value) = 0;

    // Runs `command` in the user's login shell without blocking, keeping the last `tail` bytes
    // of its output. `done` runs once, on a worker thread, unless the runner is destroyed first;
    // it must not block. Commands still running when the runner goes are ended with their
    // process groups.
    virtual void runShell(const QString& command, std::chrono::milliseconds timeout, qsizetype tail,
                          ShellDone done) = 0;
};

} // namespace core
