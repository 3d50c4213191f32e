#include "Process.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <spawn.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

extern char** environ;

namespace core::os {

namespace {

class Fd {
public:
    explicit Fd(int fd = -1)
        : fd_(fd)
    {
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    void reset()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

class FileActions {
public:
    FileActions() { ::posix_spawn_file_actions_init(&actions_); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    ~FileActions() { ::posix_spawn_file_actions_destroy(&actions_); }
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
public:
    SpawnAttributes() { ::posix_spawnattr_init(&attributes_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes_); }
    posix_spawnattr_t* get() { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
};

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

ProcessOutput runProcess(const std::vector<QByteArray>& argv, qsizetype limit)
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
    for (;;) {
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

} // namespace core::os
