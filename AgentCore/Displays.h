#pragma once

#include "Protocol.h"

#include <functional>
#include <vector>

// The X display's monitors as the displays clients see and stream.
namespace core::Displays {

// The active monitors in the server's order (the primary one flagged isMain), positions and sizes
// in points (Geometry::inPoints). Empty when the display cannot be read. Callable from any thread.
std::vector<DisplayInfo> list();

// Installs the single handler for display reconfiguration, replacing any previous one. A burst of
// changes leads to one call, 0.5 s after the last change of the burst. Called on the main thread;
// the handler runs there.
void observe(std::function<void()> handler);

} // namespace core::Displays
