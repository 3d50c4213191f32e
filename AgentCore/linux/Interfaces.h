#pragma once

#include <QString>

#include <vector>

namespace core::os {

struct InterfaceAddress {
    QString name;
    QString address; // numeric host text
};

// The IPv4 addresses of this host's interfaces, in the order the system lists them; empty when the
// list cannot be read.
std::vector<InterfaceAddress> ipv4Addresses();

// Whether an interface of that name exists and is up.
bool interfaceUp(const QString& name);

} // namespace core::os
