#pragma once

#include "Devices.h"
#include "PairingRecords.h"
#include "Identity.h"

#include <QString>

#include <optional>

namespace core {

// What the agent shows its user: published whole on every change, so that any listener (the tray
// menu, the pairing window) reads one consistent picture.
struct AgentStatus {
    std::optional<Linked> link; // this Mac's link to its owner, when paired
    std::optional<QString> connectedDevice; // the active session's device name (or its address text)
    std::optional<QString> connectedDeviceID;
    DeviceList devices;
    TailscaleState tailscale = TailscaleState::off();
    bool locked = false;

    friend bool operator==(const AgentStatus&, const AgentStatus&) = default;
};

} // namespace core
