#pragma once

#include "Identity.h"
#include "PairingRecords.h"

#include <QColor>
#include <QDateTime>
#include <QString>

#include <optional>

// What the pairing window says, decided apart from any widget so the rules can be checked alone.
namespace ui::PairingText {

inline const QString instruction1 = QStringLiteral("1. Open Dorvane on your phone or tablet and sign in.");
inline const QString instruction2 = QStringLiteral("2. Tap Add a Mac and scan this code.");

// "Paired with " + email when paired, else "Pair with your phone or tablet".
QString title(const std::optional<QString>& email);

// "New code in M:SS" (H:MM:SS from an hour on) until `expiresAt`, rounded up to whole seconds and
// never below 0:00.
QString countdown(const QDateTime& now, const QDateTime& expiresAt);

struct TailscaleLine {
    QString text;
    QColor colour;
    bool ok = false;
};
// The last line of the window: green with the login when Tailscale is on, orange when it is off.
TailscaleLine tailscale(const core::TailscaleState& state);

// Whether a step that began with `emailBefore` (absent: not paired) and ended with `after` paired this
// Mac, so the window should close: a link exists now and it names a different account (or none before).
bool justPaired(const std::optional<QString>& emailBefore, const std::optional<core::Linked>& after);

// Whether the window opens by itself at start: only when unpaired and not in developer mode.
bool opensAtStart(const std::optional<core::Linked>& linked, bool dev);

} // namespace ui::PairingText
