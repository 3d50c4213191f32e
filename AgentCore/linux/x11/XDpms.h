#pragma once

#include <QString>

namespace core::x11 {

// Turns the monitors of $DISPLAY off through DPMS, as a display's power-saving timeout would; any
// input turns them on again. Returns why not when it cannot (no server, no DPMS), else empty.
QString forceDisplaysOff();

} // namespace core::x11
