#include "DesktopBackend.h"

#include "Clipboard.h"
#include "DisplaySource.h"
#include "FrameSource.h"
#include "InputInjector.h"
#include "Log.h"
#include "PermissionsProbe.h"
#include "linux/DesktopPresence.h"
#include "linux/DesktopActions.h"
#include "WindowControl.h"
#include "linux/mutter/MutterBus.h"
#include "linux/mutter/MutterDesktop.h"
#include "linux/x11/XDesktop.h"

namespace core {

namespace {

class NoDisplays : public DisplaySource {
public:
    const std::vector<DisplayInfo>& current() const override { return none_; }

private:
    const std::vector<DisplayInfo> none_;
};

class NoPermissions : public PermissionsProbe {
public:
    Permissions probe() override { return {}; }
};

// What the agent has when no backend fits the session: it still serves, shows nothing, and tells
// whoever tries to capture why.
class EmptyDesktop : public DesktopBackend {
public:
    explicit EmptyDesktop(QString why) : why_(std::move(why)) { }
    DisplaySource& displays() override { return displays_; }
    PermissionsProbe& permissions() override { return permissions_; }
    IdleInhibitor& idleInhibitor() override { return presence_; }
    LockState& lockState() override { return presence_; }
    std::unique_ptr<FrameSource> openFrames() override { throw AgentError(why_); }
    std::unique_ptr<InputInjector> openInput() override { return nullptr; }
    SystemActions& actions() override { return actions_; }
    Clipboard& clipboard() override { return clipboard_; }
    WindowControl& windows() override { return windows_; }

private:
    const QString why_;
    os::DesktopActions actions_{[] { return nullptr; }, [] { log(QStringLiteral("actions: display.sleep: no X display")); }};
    NoDisplays displays_;
    NoPermissions permissions_;
    os::DesktopPresence presence_{nullptr};
    MemoryClipboard clipboard_;
    NoWindows windows_;
};

} // namespace

namespace {

bool isWayland(const SessionEnvironment& env)
{
    return env.sessionType == QLatin1String("wayland")
        || (!env.waylandDisplay.isEmpty() && env.sessionType != QLatin1String("x11"));
}

} // namespace

SessionEnvironment SessionEnvironment::current()
{
    SessionEnvironment env{qEnvironmentVariable("XDG_SESSION_TYPE"), qEnvironmentVariable("WAYLAND_DISPLAY"),
                           qEnvironmentVariable("DISPLAY"), {}};
    if (isWayland(env))
        env.missingMutterServices = mutter::missingServices(QDBusConnection::sessionBus(), mutter::requiredServices());
    return env;
}

std::variant<DesktopKind, QString> desktopKind(const SessionEnvironment& env)
{
    // Under Wayland, $DISPLAY names Xwayland, which sees only the X clients: capturing or driving
    // it would show and reach a fraction of the desktop.
    if (isWayland(env)) {
        if (env.missingMutterServices.isEmpty())
            return DesktopKind::mutter;
        return QStringLiteral("no desktop backend for this Wayland session (WAYLAND_DISPLAY=%1): the session bus lacks %2; "
                              "log in to GNOME on Wayland or to an X11 session")
            .arg(env.waylandDisplay.isEmpty() ? QStringLiteral("unset") : env.waylandDisplay,
                 env.missingMutterServices.join(QStringLiteral(", ")));
    }
    if (env.display.isEmpty())
        return QStringLiteral("no X display: DISPLAY is not set");
    return DesktopKind::x11;
}

std::unique_ptr<DesktopBackend> createDesktopBackend()
{
    const auto kind = desktopKind(SessionEnvironment::current());
    if (const QString* why = std::get_if<QString>(&kind)) {
        log(QStringLiteral("desktop: ") + *why);
        return std::make_unique<EmptyDesktop>(*why);
    }
    if (std::get<DesktopKind>(kind) == DesktopKind::mutter) {
        log(QStringLiteral("desktop: GNOME on Wayland, through Mutter's remote-desktop services"));
        return std::make_unique<mutter::Desktop>();
    }
    log(QStringLiteral("desktop: X11 display ") + qEnvironmentVariable("DISPLAY"));
    return std::make_unique<x11::Desktop>();
}

} // namespace core
