#pragma once

#include <QString>

#include <vector>

namespace core::os {

struct InterfaceAddress {
    QString name;
    QString address; // numeric host text
};

// The IPv4 addresses of this host's interfaces, in the order the system lists them. Throws
// std::system_error when the list cannot be read (no descriptors left, for instance): that says
// nothing about the interfaces.
std::vector<InterfaceAddress> ipv4Addresses();

// Whether an interface of that name exists and is up. Throws as `ipv4Addresses` does.
bool interfaceUp(const QString& name);

} // namespace core::os
