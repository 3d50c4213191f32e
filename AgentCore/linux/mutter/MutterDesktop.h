#pragma once

#include "DesktopBackend.h"

#include <QDBusConnection>

#include <memory>
#include <optional>

namespace core::os {
class GnomePresence;
}

namespace core::mutter {

class CastSignals;
class DisplaySource;

// A GNOME session on Wayland, reached through Mutter's remote-desktop services. Every screen
// cast belongs to the bus connection that asked for it and ends when that connection closes, so
// the backend keeps one connection of its own for as long as it lives.
class Desktop : public DesktopBackend {
public:
    // On `bus` when given (tests pass a private bus), else on a new connection to the session bus.
    explicit Desktop(std::optional<QDBusConnection> bus = std::nullopt);
    ~Desktop() override;

    core::DisplaySource& displays() override;
    core::PermissionsProbe& permissions() override;
    IdleInhibitor& idleInhibitor() override;
    LockState& lockState() override;
    std::unique_ptr<core::FrameSource> openFrames() override;
    std::unique_ptr<InputInjector> openInput() override;
    SystemActions& actions() override;
    core::Clipboard& clipboard() override;
    // GNOME keeps windows to its shell: they are listed where it shows them to the agent, else
    // applications are known by their processes only.
    core::WindowControl& windows() override;

private:
    class Permissions;

    QDBusConnection bus_;
    bool ownConnection_ = false;
    std::shared_ptr<CastSignals> signals_;
    std::unique_ptr<DisplaySource> displays_;
    std::unique_ptr<Permissions> permissions_;
    std::unique_ptr<os::GnomePresence> presence_;
    std::unique_ptr<SystemActions> actions_;
    std::unique_ptr<core::Clipboard> clipboard_;
    std::unique_ptr<core::WindowControl> windows_;
};

} // namespace core::mutter
