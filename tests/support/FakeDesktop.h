#pragma once

#include "Clipboard.h"
#include "DesktopBackend.h"
#include "DisplaySource.h"
#include "FrameSource.h"
#include "IdleInhibitor.h"
#include "LockState.h"
#include "PermissionsProbe.h"
#include "WindowControl.h"

#include <vector>

// A desktop backend without a display server: displays and permissions as the test sets them,
// frame sources that fail like an unreachable desktop, no input. Lets sessions be driven in tests
// where no X server runs.
class FakeDesktop : public core::DesktopBackend {
public:
    FakeDesktop();
    ~FakeDesktop() override;

    // Replaces the display list and announces it as a change.
    void setDisplays(std::vector<core::DisplayInfo> displays);
    core::Permissions granted;
    // Locks or unlocks the screen, announcing the change.
    void setLocked(bool locked);
    // Idle holds alive now, and activity declarations so far.
    int holds() const;
    int activity() const;
    core::MemoryClipboard memoryClipboard;

    core::DisplaySource& displays() override;
    core::PermissionsProbe& permissions() override;
    core::IdleInhibitor& idleInhibitor() override;
    core::LockState& lockState() override;
    std::unique_ptr<core::FrameSource> openFrames() override;
    std::unique_ptr<core::InputInjector> openInput() override;
    core::SystemActions& actions() override;
    core::Clipboard& clipboard() override { return memoryClipboard; }
    core::WindowControl& windows() override { return windows_; }

private:
    class Displays;
    class Probe;
    class Presence;
    std::unique_ptr<Displays> displays_;
    std::unique_ptr<Probe> probe_;
    std::unique_ptr<Presence> presence_;
    std::unique_ptr<core::SystemActions> actions_;
    core::NoWindows windows_;
};
