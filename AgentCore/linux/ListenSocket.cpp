#include "ListenSocket.h"

#include "Log.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace core::os {

SocketFd& SocketFd::operator=(SocketFd&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

SocketFd::~SocketFd()
{
    if (fd_ >= 0)
        ::close(fd_);
}

namespace {

[[noreturn]] void fail(const char* what)
{
    throw AgentError(QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno))));
}

} // namespace

SocketFd openListenSocket(quint16 port, const std::optional<QString>& interface)
{
    bool v6 = true;
    SocketFd fd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0) {
        v6 = false;
        fd = SocketFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (fd.get() < 0)
            fail("socket");
    }
    const int on = 1;
    const int off = 0;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (v6)
        ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    if (interface) {
        const QByteArray name = interface->toUtf8();
        if (::setsockopt(fd.get(), SOL_SOCKET, SO_BINDTODEVICE, name.constData(), static_cast<socklen_t>(name.size())) != 0)
            fail("bind to interface");
    }
    int rc;
    if (v6) {
        sockaddr_in6 addr{};
        addr.sin6_family = AF_INET6;
        addr.sin6_addr = in6addr_any;
        addr.sin6_port = htons(port);
        rc = ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } else {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        addr.sin_port = htons(port);
        rc = ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    }
    if (rc != 0)
        fail("bind");
    if (::listen(fd.get(), 64) != 0)
        fail("listen");
    return fd;
}

} // namespace core::os
