#include "ShellRunner.h"
#include "Spawn.h"

#include <QDir>
#include <QUuid>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace core::os {

namespace {

constexpr std::chrono::seconds kTermGrace{2};

// The process groups of commands running anywhere in this process, for the signal handler below:
// fixed storage and lock-free atomics are all a handler may touch.
constexpr int kGroupSlots = 256;
std::atomic<pid_t> runningGroups[kGroupSlots];

// For a process that does not handle these itself (the agent does, and quits in order): without
// this its death by them would leave the users' commands running on.
void endGroupsAndDie(int sig)
{
    endRunningCommandGroups();
    // SA_RESETHAND put the default back; the signal, blocked while we run, ends us on return.
    ::raise(sig);
}

void installGroupReaper()
{
    static std::once_flag once;
    std::call_once(once, [] {
        for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
            struct sigaction current {};
            if (::sigaction(sig, nullptr, &current) != 0 || current.sa_handler != SIG_DFL)
                continue; // somebody else handles it and owns the shutdown
            struct sigaction handler {};
            handler.sa_handler = endGroupsAndDie;
            handler.sa_flags = SA_RESETHAND;
            sigemptyset(&handler.sa_mask);
            ::sigaction(sig, &handler, nullptr);
        }
    });
}

int claimGroupSlot(pid_t leader)
{
    for (int i = 0; i < kGroupSlots; ++i) {
        pid_t free = 0;
        if (runningGroups[i].compare_exchange_strong(free, leader))
            return i;
    }
    return -1; // more commands than slots: this one is still ended by timeout and destruction
}

// Whether the child has ended (it stays a zombie, so its pid and group stay ours) within `limit`.
bool waitExit(int pidfd, pid_t pid, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (pidfd >= 0) {
            pollfd ended{pidfd, POLLIN, 0};
            const int ready = ::poll(&ended, 1, static_cast<int>(std::max<qint64>(0, left.count())));
            if (ready > 0)
                return true;
            if (ready == 0 || errno != EINTR)
                return false;
            continue;
        }
        // Kernels before 5.3 have no process descriptors: look now and then.
        siginfo_t info{};
        if (::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
            return true;
        if (left.count() <= 0)
            return false;
        ::usleep(20000);
    }
}

QByteArray readTail(int fd, qsizetype tail)
{
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return {};
    const off_t from = std::max<off_t>(0, info.st_size - tail);
    QByteArray bytes(qsizetype(info.st_size - from), Qt::Uninitialized);
    qsizetype got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::pread(fd, bytes.data() + got, size_t(bytes.size() - got), from + got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += n;
    }
    bytes.truncate(got);
    return bytes;
}

} // namespace

void endRunningCommandGroups() noexcept
{
    for (std::atomic<pid_t>& group : runningGroups) {
        const pid_t leader = group.load();
        if (leader > 0)
            ::kill(-leader, SIGKILL);
    }
}

struct ShellRunner::Run {
    pid_t pid = 0; // the group's leader, until it is reaped
    int slot = -1;
};

ShellRunner::ShellRunner(QByteArray shell)
    : shell_(std::move(shell))
{
    installGroupReaper();
    // Commands may each block for their whole time limit; a few slow ones must not hold up the rest.
    pool_.setMaxThreadCount(32);
}

ShellRunner::~ShellRunner()
{
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
        for (const auto& run : running_) {
            if (run->pid > 0)
                ::kill(-run->pid, SIGKILL);
        }
    }
    // The workers only reap and read what is left now.
    pool_.waitForDone();
}

QByteArray ShellRunner::loginShell()
{
    const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? size_t(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_shell
        && found->pw_shell[0] == '/' && ::access(found->pw_shell, X_OK) == 0)
        return QByteArray(found->pw_shell);
    return QByteArrayLiteral("/bin/sh");
}

void ShellRunner::run(const QString& command, std::chrono::milliseconds timeout, qsizetype tail, Done done)
{
    auto run = std::make_shared<Run>();
    {
        std::lock_guard lock(mutex_);
        running_.push_back(run);
    }
    pool_.start([this, run, command, timeout, tail, done = std::move(done)] {
        const ShellResult result = execute(*run, command, timeout, tail);
        {
            std::lock_guard lock(mutex_);
            std::erase(running_, run);
        }
        done(result);
    });
}

ShellResult ShellRunner::execute(Run& run, const QString& command, std::chrono::milliseconds timeout, qsizetype tail)
{
    const QByteArray path = QFile::encodeName(QDir::tempPath() + QStringLiteral("/remote-agent-")
                                              + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper());
    const Fd file(::open(path.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (file.get() < 0)
        return {-1, QStringLiteral("cannot create output file"), false};
    // Gone from the directory at once: nothing is left behind, whatever happens to this process.
    ::unlink(path.constData());

    FileActions actions;
    ::posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(actions.get(), file.get(), STDOUT_FILENO);
    ::posix_spawn_file_actions_adddup2(actions.get(), file.get(), STDERR_FILENO);
    ::posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1);

    // A group of its own, so that a timeout ends what the command started too; and the signal
    // state of a plain process, not the agent's (which ignores SIGPIPE).
    SpawnAttributes attributes;
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    ::posix_spawnattr_setpgroup(attributes.get(), 0);
    ::posix_spawnattr_setsigmask(attributes.get(), &none);
    ::posix_spawnattr_setsigdefault(attributes.get(), &all);
    ::posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    QByteArray program = shell_;
    QByteArray flag = QByteArrayLiteral("-lc");
    QByteArray text = command.toUtf8();
    char* argv[] = {program.data(), flag.data(), text.data(), nullptr};

    pid_t pid = 0;
    {
        std::lock_guard lock(mutex_);
        if (closing_)
            return {-1, QStringLiteral("the agent is shutting down"), false};
        const int rc = ::posix_spawn(&pid, program.constData(), actions.get(), attributes.get(), argv, environ);
        if (rc != 0)
            return {-1, QString::fromLocal8Bit(std::strerror(rc)), false};
        run.pid = pid;
        run.slot = claimGroupSlot(pid);
    }
    // WORKAROUND: glibc 2.36's <sys/pidfd.h> lacks C linkage for C++; the system call needs none.
    const Fd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));

    auto signalGroup = [&](int sig) {
        std::lock_guard lock(mutex_);
        if (run.pid > 0)
            ::kill(-run.pid, sig);
    };
    ShellResult result;
    if (!waitExit(pidfd.get(), pid, timeout)) {
        result.timedOut = true;
        signalGroup(SIGTERM);
        waitExit(pidfd.get(), pid, kTermGrace);
        // Whatever is left of the group, the leader included when it ignored SIGTERM.
        signalGroup(SIGKILL);
    }
    {
        // From here on the leader's pid may be reused: nobody signals it any more.
        std::lock_guard lock(mutex_);
        run.pid = 0;
        if (run.slot >= 0)
            runningGroups[run.slot].store(0);
    }
    int status = 0;
    pid_t reaped = -1;
    while ((reaped = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (reaped != pid)
        result.exitCode = -1; // somebody else reaped it: the status is unknown, never success
    else if (WIFSIGNALED(status))
        result.exitCode = WTERMSIG(status);
    else
        result.exitCode = WEXITSTATUS(status);
    result.output = QString::fromUtf8(readTail(file.get(), tail));
    return result;
}

} // namespace core::os
