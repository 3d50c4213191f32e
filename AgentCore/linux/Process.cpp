#include "Process.h"
#include "Spawn.h"

#include <QProcess>
#include <QTimer>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

extern char** environ;

namespace core::os {

namespace {

[[noreturn]] void fail(int error, const QByteArray& what)
{
    throw std::system_error(error, std::generic_category(), what.toStdString());
}

// The raw wait status, or absent when the child's end cannot be learnt (somebody else reaped it).
std::optional<int> waitFor(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return std::nullopt;
    }
    return status;
}

} // namespace

ProcessOutput runProcess(const std::vector<QByteArray>& argv, qsizetype limit, int timeoutMs)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        fail(errno, "pipe");
    Fd readEnd(ends[0]);
    Fd writeEnd(ends[1]);

    FileActions actions;
    ::posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), STDOUT_FILENO);
    ::posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // Nothing else of ours (listening sockets, connections) leaks into the child.
    ::posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1);

    // The agent ignores SIGPIPE and worker threads may block signals; the child starts clean.
    SpawnAttributes attributes;
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    ::posix_spawnattr_setsigmask(attributes.get(), &none);
    ::posix_spawnattr_setsigdefault(attributes.get(), &defaults);
    ::posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<QByteArray> args = argv; // owned, NUL-terminated copies
    std::vector<char*> pointers;
    for (QByteArray& a : args)
        pointers.push_back(a.data());
    pointers.push_back(nullptr);

    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, pointers[0], actions.get(), attributes.get(), pointers.data(), environ);
    if (rc != 0)
        fail(rc, argv.front());
    writeEnd.reset(); // so that the read below sees end of file when the child is done

    ProcessOutput result;
    char buffer[65536];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        // A child that hangs would otherwise keep this worker forever.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd readable{readEnd.get(), POLLIN, 0};
        const int ready = left.count() > 0 ? ::poll(&readable, 1, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            break;
        }
        const ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (result.output.size() + n > limit) {
            // A child that never stops writing would otherwise keep this thread forever.
            result.overflow = true;
            ::kill(pid, SIGKILL);
            break;
        }
        result.output.append(buffer, n);
    }
    const std::optional<int> status = waitFor(pid);
    if (!status) {
        result.status = -1; // unknown: never taken for success
    } else if (WIFSIGNALED(*status)) {
        result.signalled = true;
        result.status = WTERMSIG(*status);
    } else {
        result.status = WEXITSTATUS(*status);
    }
    return result;
}

ChildRun::ChildRun(const std::vector<QByteArray>& argv, qsizetype limit, int timeoutMs, Done done)
    : process_(std::make_unique<QProcess>())
    , deadline_(std::make_unique<QTimer>())
    , limit_(limit)
    , done_(std::move(done))
{
    process_->setStandardInputFile(QProcess::nullDevice());
    process_->setStandardErrorFile(QProcess::nullDevice());
    // The agent ignores SIGPIPE and blocks nothing on purpose; the child starts with defaults.
    process_->setChildProcessModifier([] {
        ::signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        ::pthread_sigmask(SIG_SETMASK, &none, nullptr);
    });
    connect(process_.get(), &QProcess::readyReadStandardOutput, this, [this] {
        result_.output.output += process_->readAllStandardOutput();
        if (result_.output.output.size() > limit_ && !result_.output.overflow) {
            result_.output.overflow = true;
            result_.output.output.truncate(limit_);
            process_->kill();
        }
    });
    connect(process_.get(), &QProcess::finished, this, [this](int code, QProcess::ExitStatus status) {
        if (!result_.output.overflow)
            result_.output.output += process_->readAllStandardOutput();
        result_.output.signalled = status == QProcess::CrashExit;
        result_.output.status = result_.output.signalled ? SIGKILL : code;
        finish(std::move(result_));
    });
    connect(process_.get(), &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return; // the end of a started child arrives through `finished`
        Result failed;
        failed.output.status = -1;
        failed.startError = process_->errorString();
        // Reported from the event loop, so that the owner has finished constructing us.
        QTimer::singleShot(0, this, [this, failed] { finish(failed); });
    });
    deadline_->setSingleShot(true);
    connect(deadline_.get(), &QTimer::timeout, this, [this] {
        result_.output.timedOut = true;
        process_->kill();
    });
    deadline_->start(timeoutMs);

    QStringList args;
    for (size_t i = 1; i < argv.size(); ++i)
        args << QString::fromLocal8Bit(argv[i]);
    process_->start(QString::fromLocal8Bit(argv.front()), args, QIODevice::ReadOnly);
}

ChildRun::~ChildRun()
{
    done_ = nullptr;
    QObject::disconnect(process_.get(), nullptr, this, nullptr);
    if (process_->state() != QProcess::NotRunning) {
        process_->kill();
        process_->waitForFinished(1000); // SIGKILL: only the reaping is waited for
    }
}

void ChildRun::finish(Result result)
{
    deadline_->stop();
    if (Done done = std::exchange(done_, nullptr))
        done(result);
}

} // namespace core::os
