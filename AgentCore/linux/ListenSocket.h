#pragma once

#include <QString>

#include <optional>

namespace core::os {

// Owns one file descriptor; closes it unless released.
class SocketFd {
public:
    explicit SocketFd(int fd = -1)
        : fd_(fd)
    {
    }
    SocketFd(SocketFd&& other) noexcept
        : fd_(other.release())
    {
    }
    SocketFd& operator=(SocketFd&& other) noexcept;
    SocketFd(const SocketFd&) = delete;
    SocketFd& operator=(const SocketFd&) = delete;
    ~SocketFd();

    int get() const { return fd_; }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

// A listening TCP socket on every address (IPv6 dual-stack, IPv4 when IPv6 is unavailable), with
// address reuse, optionally pinned to one interface so that only connections arriving on it are
// accepted. Throws AgentError with the system's error text.
SocketFd openListenSocket(quint16 port, const std::optional<QString>& interface);

} // namespace core::os
