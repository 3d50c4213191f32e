#pragma once

#include <QString>

#include <optional>

namespace core {

// Who Tailscale says is behind an address.
struct Whois {
    qint64 nodeID = 0;
    QString login;
    std::optional<QString> stableID;
    std::optional<QString> dnsName;
    friend bool operator==(const Whois&, const Whois&) = default;
};

// What the user interface shows of Tailscale: bound to the Tailscale address as `login`, or off.
struct TailscaleState {
    std::optional<QString> login; // present: on(login)
    static TailscaleState off() { return {}; }
    static TailscaleState on(QString login) { return {std::move(login)}; }
    bool isOn() const { return login.has_value(); }
    friend bool operator==(const TailscaleState&, const TailscaleState&) = default;
};

} // namespace core
