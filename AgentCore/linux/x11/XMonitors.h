#pragma once

#include "Display.h"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace core::x11 {

class Connection;

// The active RandR 1.5 monitors as displays, in the server's order: id = the monitor's name atom,
// name = the EDID product name of its first output that has one, else the monitor's name; bounds
// in root-window pixels; isMain = primary (see withOneMain); scale = Xft.dpi / 96 when set, else 1. Mirrors are
// listed once (withoutMirrors).
// Empty when the server lacks RandR 1.5 or the request fails.
std::vector<DisplayInfo> monitors(const Connection& x);

// Monitors showing the same rectangle mirror each other: one of them is kept, the primary one when
// it is among them, else the first. Order is otherwise unchanged.
std::vector<DisplayInfo> withoutMirrors(std::vector<DisplayInfo> displays);

// Exactly one display is main whenever any exists: when the server names no primary, the monitor at
// the origin, else the first.
std::vector<DisplayInfo> withOneMain(std::vector<DisplayInfo> displays);

// The display with that id in `monitors(x)`.
std::optional<DisplayInfo> monitor(const Connection& x, uint32_t id);

// The product name (descriptor 0xFC) of a 128-byte EDID base block; empty when absent.
QString edidProductName(std::string_view edid);

// The Xft.dpi value of an X resource database text; nullopt when absent or unreadable.
std::optional<double> xftDpi(std::string_view resources);

} // namespace core::x11
