#include "MenuModel.h"

namespace core::MenuModel {

namespace {

// U+00B7 MIDDLE DOT and U+2026 HORIZONTAL ELLIPSIS, written as escapes so that no editor or
// encoding setting can turn them into "." or "...".
const QString kDot = QStringLiteral(" \u00B7 ");
const QString kEllipsis = QStringLiteral("\u2026");

} // namespace

QString actionName(Action action)
{
    switch (action) {
    case Action::pair:
        return QStringLiteral("pair");
    case Action::unpair:
        return QStringLiteral("unpair");
    case Action::quit:
        return QStringLiteral("quit");
    }
    return {};
}

std::optional<Action> actionFrom(const QString& name)
{
    for (const Action a : {Action::pair, Action::unpair, Action::quit})
        if (name == actionName(a))
            return a;
    return std::nullopt;
}

QString status(const Device& device, const std::optional<QString>& liveDevice, const QDateTime& now,
               const QTimeZone& calendar)
{
    if (liveDevice && *liveDevice == device.id)
        return QStringLiteral("connected now");
    if (device.state == Device::State::disabled)
        return QStringLiteral("disabled");
    // Calendar dates, not elapsed time: a day across a daylight-saving change is 23 or 25 hours
    // long, and 23:59 yesterday is "yesterday" one minute later.
    const QDate seen = device.lastSeen.toTimeZone(calendar).date();
    const QDate today = now.toTimeZone(calendar).date();
    const qint64 days = seen.isValid() && today.isValid() ? seen.daysTo(today) : 0;
    if (days < 1)
        return QStringLiteral("last used today");
    if (days == 1)
        return QStringLiteral("last used yesterday");
    return QStringLiteral("last used %1 days ago").arg(days);
}

std::vector<Line> lines(const std::optional<Linked>& linked, const std::optional<QString>& connected,
                        const TailscaleState& tailscale, const std::vector<Device>& devices,
                        const std::optional<QString>& liveDevice, const QDateTime& now, const QTimeZone& calendar)
{
    std::vector<Line> out;
    out.push_back(StatusLine{linked ? QStringLiteral("Paired with ") + linked->email : QStringLiteral("Not paired")});
    if (connected)
        out.push_back(StatusLine{QStringLiteral("Connected: ") + *connected});
    out.push_back(SeparatorLine{});
    out.push_back(StatusLine{tailscale.isOn() ? QStringLiteral("Tailscale: on") + kDot + *tailscale.login
                                              : QStringLiteral("Tailscale is off. Turn it on to connect.")});
    out.push_back(SeparatorLine{});
    // Devices belong to the pairing: without one they cannot connect, so they are not offered.
    if (linked && !devices.empty()) {
        out.push_back(StatusLine{QStringLiteral("Devices")});
        for (const Device& d : devices)
            out.push_back(DeviceLine{d.id, d.name + kDot + status(d, liveDevice, now, calendar),
                                     d.state == Device::State::disabled});
        out.push_back(SeparatorLine{});
    }
    out.push_back(ActionLine{QStringLiteral("Pair a phone or tablet") + kEllipsis, Action::pair, !linked});
    if (linked)
        out.push_back(ActionLine{QStringLiteral("Unpair this Mac") + kEllipsis, Action::unpair, false});
    out.push_back(SeparatorLine{});
    out.push_back(ActionLine{QStringLiteral("Quit Dorvane"), Action::quit, false});
    return out;
}

} // namespace core::MenuModel
