#pragma once

#include "Actions.h"

#include <QByteArray>
#include <QString>
#include <QThreadPool>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace core::os {

// Runs the user's custom commands as `<shell> -lc <command>`, each on a worker of its own and in a
// process group of its own, its standard output and error going to one temporary file that only
// this process can reach (removed from the directory as soon as it is open). A command that
// outlives its limit has its whole group sent SIGTERM, and SIGKILL 2 s later: a timed-out command
// leaves nothing of its own running. Commands still running when the runner is destroyed, or when
// the process is ended by SIGTERM, SIGINT or SIGHUP that nobody else handles, are killed with their
// groups.
// Construct and destroy on one thread; run() may be called from it at any time.
class ShellRunner {
public:
    using Done = std::function<void(const ShellResult&)>;

    // `shell` is the program to run; by default the user's login shell.
    explicit ShellRunner(QByteArray shell = loginShell());
    ~ShellRunner();
    ShellRunner(const ShellRunner&) = delete;
    ShellRunner& operator=(const ShellRunner&) = delete;

    // `done` runs once on the worker thread with the exit status and the last `tail` bytes of the
    // output decoded as UTF-8 (invalid bytes become U+FFFD); never after the runner is gone.
    void run(const QString& command, std::chrono::milliseconds timeout, qsizetype tail, Done done);

    // The login shell of the user running the agent from the password database, else /bin/sh.
    static QByteArray loginShell();

private:
    struct Run;
    ShellResult execute(Run& run, const QString& command, std::chrono::milliseconds timeout, qsizetype tail);

    const QByteArray shell_;
    std::mutex mutex_; // guards every Run's pid and the running_ list
    std::vector<std::shared_ptr<Run>> running_;
    bool closing_ = false;
    QThreadPool pool_;
};

// Sends SIGKILL to the process group of every command that any ShellRunner of this process is
// running. Async-signal-safe: for signal handlers that end the process.
void endRunningCommandGroups() noexcept;

} // namespace core::os
