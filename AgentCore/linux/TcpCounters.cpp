#include "TcpCounters.h"

#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace core::os {

std::optional<qint64> bytesRead(qintptr fd)
{
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(static_cast<int>(fd), IPPROTO_TCP, TCP_INFO, &info, &size) != 0
        || size < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received)
        return std::nullopt;
    int unread = 0;
    if (::ioctl(static_cast<int>(fd), SIOCINQ, &unread) != 0)
        return std::nullopt;
    return static_cast<qint64>(info.tcpi_bytes_received) - unread;
}

} // namespace core::os
