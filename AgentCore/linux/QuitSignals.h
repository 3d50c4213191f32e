#pragma once

#include "linux/Spawn.h"

#include <QObject>

#include <functional>
#include <memory>
#include <utility>

class QSocketNotifier;

namespace core::os {

// Turns SIGTERM, SIGINT and SIGHUP into an orderly quit: the first of them reaches `onQuit` on the
// main thread's event loop, with the signal's number, so that the agent can leave its loop and
// every destructor runs. A further one while the agent is still quitting ends the process at once
// (killing the process groups of the custom commands still running), so that a quit that hangs
// can always be cut short.
// One instance at a time, made and destroyed on the main thread; while it lives the handlers are
// installed, afterwards the default actions are back.
class QuitSignals : public QObject {
public:
    explicit QuitSignals(std::function<void(int signal)> onQuit);
    ~QuitSignals() override;
    QuitSignals(const QuitSignals&) = delete;
    QuitSignals& operator=(const QuitSignals&) = delete;

    // "SIGTERM", "SIGINT" or "SIGHUP"; the number in decimal for any other.
    static QString name(int signal);

private:
    QuitSignals(std::function<void(int)> onQuit, std::pair<int, int> pipe);
    void arrived();

    std::function<void(int)> onQuit_;
    Fd readEnd_;
    Fd writeEnd_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace core::os
