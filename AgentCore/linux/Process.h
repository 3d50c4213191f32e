#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QProcess;
class QTimer;

namespace core::os {

struct ProcessOutput {
    // The exit status, the number of the signal that ended the process, or -1 when unknown.
    int status = 0;
    bool signalled = false;
    // The process wrote more than the limit; it was killed and `output` holds the first bytes.
    bool overflow = false;
    // The process outlived its time limit and was killed.
    bool timedOut = false;
    QByteArray output;
};

// Runs the program at `argv[0]` (an absolute path; no search) with `argv` and the current
// environment, standard input from and standard error to the null device, and reads standard output
// to its end, at most `limit` bytes, for at most `timeoutMs` milliseconds. Blocks until the child
// has exited, so never call it on the main thread. Throws std::system_error when the program
// cannot be started (no descriptors or processes left, for instance).
ProcessOutput runProcess(const std::vector<QByteArray>& argv, qsizetype limit, int timeoutMs);

// The same run without blocking: the child is watched from the calling thread's event loop and
// `done` is called there once, with the output or with why the program could not be started.
// Destroying the object kills a child that is still running and `done` is then never called.
class ChildRun : public QObject {
    Q_OBJECT
public:
    struct Result {
        ProcessOutput output;
        // Set when the program could not be started; nothing about the program itself is known.
        std::optional<QString> startError;
    };
    using Done = std::function<void(const Result&)>;

    ChildRun(const std::vector<QByteArray>& argv, qsizetype limit, int timeoutMs, Done done);
    ~ChildRun() override;

private:
    void finish(Result result);

    std::unique_ptr<QProcess> process_;
    std::unique_ptr<QTimer> deadline_;
    qsizetype limit_;
    Result result_;
    Done done_;
};

} // namespace core::os
