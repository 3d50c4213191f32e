#include "PairingText.h"

namespace ui::PairingText {

QString title(const std::optional<QString>& email)
{
    return email ? QStringLiteral("Paired with ") + *email : QStringLiteral("Pair with your phone or tablet");
}

QString countdown(const QDateTime& now, const QDateTime& expiresAt)
{
    const qint64 ms = std::max<qint64>(0, now.msecsTo(expiresAt));
    // Rounding up keeps "0:00" for the moment of expiry itself, not for the whole last second.
    const qint64 total = (ms + 999) / 1000;
    const qint64 hours = total / 3600, minutes = total / 60 % 60, seconds = total % 60;
    const QString mmss = QStringLiteral("%1:%2").arg(minutes, hours ? 2 : 1, 10, QLatin1Char('0')).arg(seconds, 2, 10, QLatin1Char('0'));
    return QStringLiteral("New code in ") + (hours ? QString::number(hours) + QLatin1Char(':') + mmss : mmss);
}

TailscaleLine tailscale(const core::TailscaleState& state)
{
    if (state.login)
        return {QStringLiteral("Tailscale is on, signed in as ") + *state.login
                    + QStringLiteral(". Use the same Tailscale account on your phone or tablet."),
                QColor(0x1e, 0x8e, 0x3e), true};
    return {QStringLiteral("Tailscale is off on this Mac. Turn it on, then pair."), QColor(0xe6, 0x7e, 0x00), false};
}

bool justPaired(const std::optional<QString>& emailBefore, const std::optional<core::Linked>& after)
{
    return after && (!emailBefore || *emailBefore != after->email);
}

bool opensAtStart(const std::optional<core::Linked>& linked, bool dev) { return !linked && !dev; }

} // namespace ui::PairingText
