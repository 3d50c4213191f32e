#pragma once

#include "Display.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <variant>

namespace core {

class Clipboard;
class DisplaySource;
class FrameSource;
class IdleInhibitor;
class InputInjector;
class LockState;
class PermissionsProbe;
class SystemActions;
class WindowControl;

// The desktop the agent shows and drives. Each OS concern is a small interface of its own
// (displays, frames, input, permissions); window and application control, clipboard, idle
// inhibit and lock state join the same way, as further members. The agent creates one backend
// at start and lends it to its sessions. Main thread, unless a concern's own header says otherwise.
class DesktopBackend {
public:
    virtual ~DesktopBackend() = default;

    // Owned by the backend; lives as long as it.
    virtual DisplaySource& displays() = 0;
    virtual PermissionsProbe& permissions() = 0;
    virtual IdleInhibitor& idleInhibitor() = 0;
    virtual LockState& lockState() = 0;
    // A new frame source for one continuous capture. Throws AgentError when the desktop cannot be
    // captured.
    virtual std::unique_ptr<FrameSource> openFrames() = 0;
    // A new input channel; none (logged once by the backend) when input cannot be posted.
    virtual std::unique_ptr<InputInjector> openInput() = 0;
    // The built-in actions and the runner of custom commands; owned by the backend.
    virtual SystemActions& actions() = 0;
    // Owned by the backend, made on first use; its own header says where it may be used.
    virtual Clipboard& clipboard() = 0;
    // Owned by the backend; lives as long as it.
    virtual WindowControl& windows() = 0;
};

// The kinds of desktop session there are backends for.
enum class DesktopKind { x11, mutter };

// The environment variables that tell what kind of session the agent runs in.
struct SessionEnvironment {
    QString sessionType;    // XDG_SESSION_TYPE
    QString waylandDisplay; // WAYLAND_DISPLAY
    QString display;        // DISPLAY
    // Mutter's remote-desktop services absent from the session bus (looked up for Wayland
    // sessions only).
    QStringList missingMutterServices;
    static SessionEnvironment current();
};

// The backend kind for a session, or why there is none (an error text naming what is missing).
std::variant<DesktopKind, QString> desktopKind(const SessionEnvironment& env);

// The backend for the session this process runs in. When none fits, logs why and gives a backend
// of an empty desktop (no displays, no permissions, captures fail with that reason), so that the
// agent still serves and says what is wrong.
std::unique_ptr<DesktopBackend> createDesktopBackend();

} // namespace core
