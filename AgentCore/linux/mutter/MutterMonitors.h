#pragma once

#include "Display.h"

#include <QDBusConnection>
#include <QDBusMessage>

#include <vector>

namespace core::mutter {

// One logical monitor of Mutter's layout: the display in the compositor's pixels (not points),
// and the connector whose picture a screen cast records.
struct Monitor {
    DisplayInfo display;
    QString connector;
};

// The logical monitors of a DisplayConfig.GetCurrentState reply, in Mutter's order: id from the
// connector of the first monitor shown (connectorId), name = its display name, else the
// connector; size = its current mode (turned for rotated transforms); position in pixels in both
// layout modes; isMain = Mutter's primary (exactly one main whenever any monitor exists).
// Empty when the reply is not such a state.
std::vector<Monitor> monitorsOfState(const QDBusMessage& reply);

// The monitors now; empty when Mutter does not answer. Blocking; any thread.
std::vector<Monitor> readMonitors(const QDBusConnection& bus);

// The display id of a connector ("Meta-0", "DP-1"): the same for the same connector across
// calls, restarts and agents, never 0.
quint32 connectorId(const QString& connector);

} // namespace core::mutter
