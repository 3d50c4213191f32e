#pragma once

#include "Devices.h"
#include "PairingRecords.h"
#include "Tailscale.h"

#include <QDateTime>
#include <QString>
#include <QTimeZone>

#include <optional>
#include <variant>
#include <vector>

// The status menu as plain data: which lines it shows, in which order, with which texts. Pure and
// free of any user-interface type, so the tray only draws what this decides.
namespace core::MenuModel {

enum class Action { pair, unpair, quit };

// "pair", "unpair", "quit": the value a menu item carries back when chosen.
QString actionName(Action action);
// Absent for any other text, including the empty one a stale item carries.
std::optional<Action> actionFrom(const QString& name);

// A disabled, informational item.
struct StatusLine {
    QString text;
    friend bool operator==(const StatusLine&, const StatusLine&) = default;
};

// A clickable item.
struct ActionLine {
    QString title;
    Action action = Action::quit;
    bool bold = false;
    friend bool operator==(const ActionLine&, const ActionLine&) = default;
};

// One remembered device; the tray gives it a submenu (enable or disable, remove).
struct DeviceLine {
    QString id;
    QString label;
    bool disabled = false;
    friend bool operator==(const DeviceLine&, const DeviceLine&) = default;
};

struct SeparatorLine {
    friend bool operator==(const SeparatorLine&, const SeparatorLine&) = default;
};

using Line = std::variant<StatusLine, ActionLine, DeviceLine, SeparatorLine>;

// The whole menu, top to bottom. `connected` is the name of the device holding the computer,
// `devices` the registry's visible list (shown in the given order, and only while paired),
// `liveDevice` the id of the device holding the computer. Days are counted in `calendar`.
std::vector<Line> lines(const std::optional<Linked>& linked, const std::optional<QString>& connected,
                        const TailscaleState& tailscale, const std::vector<Device>& devices,
                        const std::optional<QString>& liveDevice, const QDateTime& now, const QTimeZone& calendar);

// The status word of one device: "connected now" for the live device (even a disabled one), else
// "disabled", else how many calendar days of `calendar` lie between its last use and `now`:
// "last used today" (also for a last use later than `now`), "last used yesterday", "last used
// N days ago".
QString status(const Device& device, const std::optional<QString>& liveDevice, const QDateTime& now,
               const QTimeZone& calendar);

} // namespace core::MenuModel
