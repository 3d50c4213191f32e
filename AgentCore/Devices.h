#pragma once

#include "Identity.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>
#include <vector>

namespace core {

// One remembered phone or tablet.
struct Device {
    enum class State { active, disabled, removed };

    // Identity of a connecting peer as derived from its Tailscale identity.
    struct Peer {
        QString id;
        QString name;
        friend bool operator==(const Peer&, const Peer&) = default;
    };

    QString id;
    QString name;
    QDateTime lastSeen;
    State state = State::active;

    friend bool operator==(const Device&, const Device&) = default;

    static QString stateName(State s);
    static std::optional<State> stateFrom(const QString& name);

    // The peer identity for a whois result; absent without one.
    static std::optional<Peer> peer(const std::optional<Whois>& whois, const QString& remote);
};

// The persisted registry of devices, in insertion order. Ids are unique; every operation acts on
// the first device with the given id, and unknown ids change nothing.
struct DeviceList {
    std::vector<Device> all;

    // Persisted form: {"all":[{"id","name","lastSeen" (seconds since 2001-01-01 UTC),"state"}]}.
    static std::optional<DeviceList> decode(const QByteArray& bytes);
    std::optional<QByteArray> encoded() const;

    // Not removed, most recently seen first; equal dates keep their stored order.
    std::vector<Device> visible() const;
    std::optional<Device::State> state(const QString& id) const;

    void record(const QString& id, const QString& name, const QDateTime& at);
    void touch(const QString& id, const QDateTime& at);
    void disable(const QString& id);
    void enable(const QString& id);
    void remove(const QString& id);
    // Deletes every device but the one with `keeping` (all of them when absent).
    void clear(const std::optional<QString>& keeping);

    friend bool operator==(const DeviceList&, const DeviceList&) = default;

private:
    Device* find(const QString& id);
};

// Seconds since 2001-01-01 00:00:00 UTC, the epoch of the stored "lastSeen".
double referenceSeconds(const QDateTime& date);
QDateTime fromReferenceSeconds(double seconds);

} // namespace core
