#pragma once

#include "Protocol.h"
#include "WindowControl.h"

#include <QImage>
#include <QString>

#include <optional>
#include <vector>

// Running and installed applications as clients see them, from the desktop's windows and its
// desktop entries. Pure: the callers bring the windows, entries and displays.
namespace core::Apps {

// One installed application: a desktop entry that is shown in menus.
struct DesktopEntry {
    QString id;             // the desktop-file id, "org.example.App.desktop"
    QString name;           // localised
    QString startupWMClass; // StartupWMClass, empty when not given
    QString executable;     // file name of the program its Exec line runs
    QString icon;           // icon theme name or absolute file, empty when none
};

// A running application: what clients see, and what the agent needs to act on it.
struct Running {
    AppInfo info; // icon left empty
    // Every managed window of the application, frontmost first, listed or not.
    std::vector<quint32> windows;
    // The frontmost window that may carry an icon, and the entry matched, if any.
    quint32 iconWindow = 0;
    std::optional<DesktopEntry> entry;
};

// The entry a window belongs to: by its application id, then WM_CLASS against StartupWMClass or
// the entry's id, then its program. Null when none matches.
const DesktopEntry* match(const TopWindow& window, const std::vector<DesktopEntry>& entries);

// The regular applications: processes other than `self` that own at least one normal window,
// sorted by name (case-insensitive, stable, ties in window order). Window geometry is converted to
// points with the displays' scale; windows under 50 x 50 points or without a title are left out
// of `info.windows`.
std::vector<Running> running(const std::vector<TopWindow>& windows, std::optional<quint32> active,
                             const std::vector<DesktopEntry>& entries, const std::vector<DisplayInfo>& displays,
                             qint32 self);

// The entries as installed applications, sorted by name.
std::vector<InstalledApp> installed(const std::vector<DesktopEntry>& entries);

// The icon to show from a _NET_WM_ICON property, which any client sets: sizes back to back, each
// width, height, then width x height pixels. The smallest size whose longer edge is not below
// `edge`, else the largest; sizes after a malformed one are ignored. None when there is none.
std::optional<IconPixels> pickIcon(const std::vector<quint32>& property, int edge);

// Base64 of a 64 x 64 PNG of the image; empty for a null image.
QString iconPng(const QImage& image);
QImage toImage(const IconPixels& pixels);

// A window's frame in X pixels as points: divided by the displays' scale (one for the screen).
Geometry::Rect inPoints(const Geometry::Rect& pixels, const std::vector<DisplayInfo>& displays);
// The display that holds the centre of a frame given in points.
std::optional<quint32> displayOf(const Geometry::Rect& points, const std::vector<DisplayInfo>& displays);


} // namespace core::Apps
