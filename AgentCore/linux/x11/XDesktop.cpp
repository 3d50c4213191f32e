#include "XDesktop.h"

#include "XDisplaySource.h"
#include "XFrameSource.h"
#include "XPermissionsProbe.h"
#include "XTestInput.h"
#include "XWindowControl.h"

namespace core::x11 {

Desktop::Desktop()
    : displays_(std::make_unique<DisplaySource>())
    , permissions_(std::make_unique<PermissionsProbe>())
{
    if (!(windows_ = WindowControl::open()))
        windows_ = std::make_unique<NoWindows>();
}

Desktop::~Desktop() = default;

core::DisplaySource& Desktop::displays() { return *displays_; }

core::PermissionsProbe& Desktop::permissions() { return *permissions_; }

std::unique_ptr<core::FrameSource> Desktop::openFrames() { return std::make_unique<FrameSource>(); }

core::WindowControl& Desktop::windows() { return *windows_; }

std::unique_ptr<InputInjector> Desktop::openInput() { return os::XTestInput::open(); }

} // namespace core::x11
