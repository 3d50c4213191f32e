#include "QuitSignals.h"

#include "linux/ShellRunner.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace core::os {

namespace {

constexpr int kQuitSignals[] = {SIGTERM, SIGINT, SIGHUP};

// What the handler may touch: lock-free atomics only.
std::atomic<int> quitPipe{-1};
std::atomic<bool> quitting{false};

void onSignal(int sig)
{
    const int savedErrno = errno;
    const int fd = quitPipe.load();
    if (!quitting.exchange(true) && fd >= 0) {
        const char byte = static_cast<char>(sig);
        // The pipe never fills: one byte is all that is ever written to it.
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
        errno = savedErrno;
        return;
    }
    // Asked again while quitting, or too late to quit in order: end now, as the default action
    // would, but without leaving the users' commands running.
    endRunningCommandGroups();
    ::signal(sig, SIG_DFL);
    // Blocked while this handler runs, the signal ends the process as it returns.
    ::raise(sig);
    errno = savedErrno;
}

std::pair<int, int> makePipe()
{
    int ends[2] = {-1, -1};
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return {-1, -1};
    return {ends[0], ends[1]};
}

} // namespace

QuitSignals::QuitSignals(std::function<void(int)> onQuit)
    : QuitSignals(std::move(onQuit), makePipe())
{
}

QuitSignals::QuitSignals(std::function<void(int)> onQuit, std::pair<int, int> pipe)
    : onQuit_(std::move(onQuit))
    , readEnd_(pipe.first)
    , writeEnd_(pipe.second)
{
    // Without the pipe every signal takes the handler's immediate path: the process still ends.
    if (readEnd_.get() >= 0) {
        notifier_ = std::make_unique<QSocketNotifier>(readEnd_.get(), QSocketNotifier::Read);
        connect(notifier_.get(), &QSocketNotifier::activated, this, &QuitSignals::arrived);
    }
    quitting.store(false);
    quitPipe.store(writeEnd_.get());

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : kQuitSignals)
        sigaddset(&action.sa_mask, sig); // one of them at a time: the first is the quit
    // Interrupted system calls of the agent's threads go on as if nothing happened.
    action.sa_flags = SA_RESTART;
    for (int sig : kQuitSignals)
        ::sigaction(sig, &action, nullptr);
}

QuitSignals::~QuitSignals()
{
    // The handler goes before the pipe does, so it never writes into a descriptor reused since.
    for (int sig : kQuitSignals)
        ::signal(sig, SIG_DFL);
    quitPipe.store(-1);
}

QString QuitSignals::name(int signal)
{
    switch (signal) {
    case SIGTERM:
        return QStringLiteral("SIGTERM");
    case SIGINT:
        return QStringLiteral("SIGINT");
    case SIGHUP:
        return QStringLiteral("SIGHUP");
    default:
        return QString::number(signal);
    }
}

void QuitSignals::arrived()
{
    char byte = 0;
    if (::read(readEnd_.get(), &byte, 1) != 1)
        return;
    notifier_->setEnabled(false);
    if (onQuit_)
        onQuit_(static_cast<unsigned char>(byte));
}

} // namespace core::os
