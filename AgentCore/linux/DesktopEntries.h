#pragma once

#include "Apps.h"

#include <QString>

#include <optional>
#include <vector>

// XDG desktop entries through GIO: $XDG_DATA_HOME, then each of $XDG_DATA_DIRS, under
// applications/, the first directory that has an id winning. GIO keeps the entries in memory and
// watches the directories (through the GLib main loop Qt runs), so only the first call reads files.
namespace core {
class WindowControl;
}

namespace core::os::DesktopEntries {

// The applications to show: entries of type Application that are neither Hidden nor NoDisplay,
// with localised names. Callable from any thread.
std::vector<Apps::DesktopEntry> shown();

// An entry from the text of a desktop file, as `shown()` would list it under `id`; none when the
// text is not a desktop entry GIO accepts, or the entry is hidden from menus.
std::optional<Apps::DesktopEntry> fromText(const QByteArray& entry, const QString& id);

// The image file of an entry's Icon value: the value itself when it is a path, else the PNG of
// that name in the hicolor theme (where applications install their icons), 64 pixels or the
// nearest size, in the data directories in their order, else in /usr/share/pixmaps. Empty when
// there is none. Callable from any thread.
QString iconFile(const QString& icon);

// Starts the entry's application. Returns the error text: "not installed: " + id for an unknown
// id, the launcher's message when the program cannot be started. Entries that ask for startup
// notification are announced to the window manager through `windows`, whose id the first window
// carries. Main thread: the child is reaped from the main loop.
std::optional<QString> launch(const QString& id, WindowControl& windows);

} // namespace core::os::DesktopEntries
