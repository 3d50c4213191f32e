#pragma once

#include "DesktopBackend.h"
#include "DisplaySource.h"
#include "FrameSource.h"
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

    core::DisplaySource& displays() override;
    core::PermissionsProbe& permissions() override;
    std::unique_ptr<core::FrameSource> openFrames() override;
    std::unique_ptr<core::InputInjector> openInput() override;
    core::WindowControl& windows() override { return windows_; }

private:
    class Displays;
    class Probe;
    std::unique_ptr<Displays> displays_;
    std::unique_ptr<Probe> probe_;
    core::NoWindows windows_;
};
