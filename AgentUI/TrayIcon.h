#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>

// The tray's drawn icon: a pointer arrow over a line.
namespace ui::TrayIcon {

// One square image of `size` pixels in `colour` on a transparent ground.
QImage draw(int size, const QColor& colour);

// The icon in the sizes panels ask for: white strokes for a dark panel, black for a light one,
// faded when `greyed` (Tailscale is off).
QIcon make(bool darkPanel, bool greyed);

// Whether the desktop's palette suggests a dark panel.
bool darkPanel();

} // namespace ui::TrayIcon
