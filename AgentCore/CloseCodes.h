#pragma once

#include <QString>

namespace core {

// A WebSocket close the phone acts on: the application code and the reason it shows its user.
struct CloseCode {
    quint16 code;
    QString reason;
    friend bool operator==(const CloseCode&, const CloseCode&) = default;
};

// Every application close code the agent sends, each with its one reason text.
namespace Close {
inline const CloseCode signIn{4401, QStringLiteral("Sign in to Dorvane on your phone.")};
inline const CloseCode expired{4402, QStringLiteral("Your access pass for this Mac expired.")};
inline const CloseCode notYours{4403, QStringLiteral("device not on your account")};
// The client left more unsent than it may: it is not reading what it asked for.
inline const CloseCode notReading{4408, QStringLiteral("The connection to this Mac fell too far behind. Connect again.")};
inline const CloseCode replaced{4409, QStringLiteral("replaced by a newer session")};
inline const CloseCode notPaired{4412, QStringLiteral("This Mac isn't paired. Open Dorvane on the Mac to pair it.")};
inline const CloseCode removed{4413,
                               QStringLiteral("This Mac removed this device. Scan the code on the Mac to add it again.")};
inline const CloseCode disabled{
    4414, QStringLiteral("Access for this device is turned off on this Mac. Turn it on in the Dorvane menu on the Mac.")};
// The desktop session this agent belongs to ended (its display server went away).
inline const CloseCode desktopGone{1001, QStringLiteral("The desktop session on this Mac ended. Connect again once it is back.")};
// The agent on this Mac quit (from its menu, or asked to by the system).
inline const CloseCode agentQuit{1001, QStringLiteral("Dorvane quit on this Mac. Start it again to connect.")};
} // namespace Close

} // namespace core
