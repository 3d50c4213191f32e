#pragma once

#include "Devices.h"

#include <QString>

#include <map>
#include <optional>

namespace core {

// The remembered devices, stored in the user's settings under "devices", and who Tailscale says is
// behind each remote address. Every change is saved at once; a list that cannot be encoded removes
// the stored one rather than leave it stale. A save that fails (disk full) is logged and leaves the
// stored list as it was. All methods run on the main thread.
class DeviceBook {
public:
    // Reads the stored list; an unreadable one starts empty (and says so in the log).
    void load();

    const DeviceList& list() const { return devices_; }

    // A later peer for the same address replaces the earlier one.
    void recordPeer(const QString& remote, const Device::Peer& peer);
    std::optional<Device::Peer> peer(const QString& remote) const;
    // The registry state of the device behind `remote`, when a peer is known for it.
    std::optional<Device::State> stateAt(const QString& remote) const;

    void record(const Device::Peer& peer, const QDateTime& at);
    void touch(const QString& id, const QDateTime& at);
    void disable(const QString& id);
    void enable(const QString& id);
    void remove(const QString& id);
    // Deletes every device but the one with `keeping` (all of them when absent).
    void clear(const std::optional<QString>& keeping);

private:
    void save();

    DeviceList devices_;
    std::map<QString, Device::Peer> peers_;
};

} // namespace core
