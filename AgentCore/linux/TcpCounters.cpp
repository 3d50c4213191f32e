#include "TcpCounters.h"

#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace core::os {

std::optional<qint64> bytesRead(qintptr fd)
{
    const int socket = static_cast<int>(fd);
    const auto unread = [socket]() -> std::optional<int> {
        int n = 0;
        if (::ioctl(socket, SIOCINQ, &n) != 0)
            return std::nullopt;
        return n;
    };
    // Bytes may arrive between the two readings; only this process reads the socket, so an unread
    // count that is the same before and after the received count means none did.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const std::optional<int> before = unread();
        tcp_info info{};
        socklen_t size = sizeof info;
        if (!before
            || ::getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &size) != 0
            || size < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received)
            return std::nullopt;
        const std::optional<int> after = unread();
        if (!after)
            return std::nullopt;
        if (*after == *before)
            return static_cast<qint64>(info.tcpi_bytes_received) - *after;
    }
    return std::nullopt;
}

} // namespace core::os
