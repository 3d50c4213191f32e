#pragma once

#include "Geometry.h"
#include "IconCache.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace core {

// One managed top-level window as the window manager knows it. Geometry in X pixels, root
// coordinates.
struct TopWindow {
    quint32 id = 0;
    qint32 pid = 0;          // _NET_WM_PID; 0 when the client does not say
    QString wmInstance;      // WM_CLASS, first part
    QString wmClass;         // WM_CLASS, second part
    QString appId;           // _GTK_APPLICATION_ID
    QString executable;      // file name of the owner's program, when the process can be read
    QString title;
    Geometry::Rect frame;
    bool normal = false;     // an ordinary application window (not a dock, panel, dialog, menu...)
    bool iconified = false;
};

// Window icon pixels: ARGB, premultiplied alpha not assumed, row by row.
struct IconPixels {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> argb;
};

// The desktop's top-level windows and what can be done to them. Owned by the desktop backend;
// lives and signals on the main thread. Requests are messages to the window manager: they are
// sent, not awaited.
class WindowControl : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // The managed windows, frontmost first; empty when the desktop cannot be read.
    virtual std::vector<TopWindow> windows() = 0;
    virtual std::optional<quint32> activeWindow() = 0;
    // The window's own icon at the size closest to (and preferably not below) `edge`, if it has one.
    virtual std::optional<IconPixels> icon(quint32 window, int edge) = 0;
    // True while the window exists on the display, managed or not.
    virtual bool exists(quint32 window) = 0;

    // Un-iconifies, raises and focuses the window. False when the request cannot reach a window
    // manager that would honour it (the window is unmanaged or no such manager runs).
    virtual bool activate(quint32 window) = 0;
    virtual void iconify(quint32 window) = 0;
    // Asks the window's client to close it, as its close button would. False when that request
    // cannot be delivered.
    virtual bool close(quint32 window) = 0;

    // Startup notification: tells the window manager that `name` is being launched and returns the
    // id the launched program is to carry (empty when no one listens); launchFailed withdraws it.
    virtual QString launchStarted(const QString& name) = 0;
    virtual void launchFailed(const QString& id) = 0;

    // Rendered application icons; they live as long as the backend, which is the agent's life.
    IconCache& iconCache() { return icons_; }

signals:
    // Windows came or went, the active window changed, or a window's state (iconified, hidden)
    // changed. Raw: one per batch of events, not debounced.
    void changed();

private:
    IconCache icons_;
};

// A desktop without windows: for backends that cannot see any.
class NoWindows : public WindowControl {
public:
    std::vector<TopWindow> windows() override { return {}; }
    std::optional<quint32> activeWindow() override { return std::nullopt; }
    std::optional<IconPixels> icon(quint32, int) override { return std::nullopt; }
    bool exists(quint32) override { return false; }
    bool activate(quint32) override { return false; }
    void iconify(quint32) override { }
    bool close(quint32) override { return false; }
    QString launchStarted(const QString&) override { return {}; }
    void launchFailed(const QString&) override { }
};

} // namespace core
