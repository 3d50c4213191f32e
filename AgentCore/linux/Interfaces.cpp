#include "Interfaces.h"

#include "FreeWith.h"

#include <cerrno>
#include <ifaddrs.h>
#include <memory>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>
#include <system_error>

namespace core::os {

namespace {

using IfAddrsPtr = std::unique_ptr<ifaddrs, FreeWith<::freeifaddrs>>;

IfAddrsPtr readList()
{
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        throw std::system_error(errno, std::generic_category(), "getifaddrs");
    return IfAddrsPtr(list);
}

} // namespace

std::vector<InterfaceAddress> ipv4Addresses()
{
    std::vector<InterfaceAddress> out;
    const IfAddrsPtr list = readList();
    for (const ifaddrs* entry = list.get(); entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !entry->ifa_name)
            continue;
        char host[1025];
        if (::getnameinfo(entry->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
            continue;
        out.push_back({QString::fromLocal8Bit(entry->ifa_name), QString::fromLatin1(host)});
    }
    return out;
}

bool interfaceUp(const QString& name)
{
    const QByteArray wanted = name.toLocal8Bit();
    const IfAddrsPtr list = readList();
    for (const ifaddrs* entry = list.get(); entry; entry = entry->ifa_next) {
        if (entry->ifa_name && wanted == entry->ifa_name && (entry->ifa_flags & IFF_UP))
            return true;
    }
    return false;
}

} // namespace core::os
