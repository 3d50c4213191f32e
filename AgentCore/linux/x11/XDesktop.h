#pragma once

#include "DesktopBackend.h"

#include <memory>

namespace core::os {
class DesktopPresence;
}

namespace core::x11 {

class DisplaySource;
class PermissionsProbe;

// The X11 session's desktop: the display named by $DISPLAY. Every concern talks to the server on a
// connection of its own, so a slow or lost server stalls only that concern.
class Desktop : public DesktopBackend {
public:
    Desktop();
    ~Desktop() override;

    core::DisplaySource& displays() override;
    core::PermissionsProbe& permissions() override;
    IdleInhibitor& idleInhibitor() override;
    LockState& lockState() override;
    std::unique_ptr<core::FrameSource> openFrames() override;
    std::unique_ptr<InputInjector> openInput() override;
    SystemActions& actions() override;
    core::Clipboard& clipboard() override;
    core::WindowControl& windows() override;

private:
    std::unique_ptr<DisplaySource> displays_;
    std::unique_ptr<PermissionsProbe> permissions_;
    std::unique_ptr<os::DesktopPresence> presence_;
    std::unique_ptr<SystemActions> actions_;
    std::unique_ptr<core::Clipboard> clipboard_;
    std::unique_ptr<core::WindowControl> windows_;
};

} // namespace core::x11
