#include "XDesktop.h"

#include "XDisplaySource.h"
#include "XFrameSource.h"
#include "XPermissionsProbe.h"
#include "XScreenSaver.h"
#include "linux/DesktopPresence.h"
#include "XTestInput.h"

namespace core::x11 {

Desktop::Desktop()
    : displays_(std::make_unique<DisplaySource>())
    , permissions_(std::make_unique<PermissionsProbe>())
    , presence_(std::make_unique<os::DesktopPresence>([reset = std::make_shared<ScreenSaverReset>()] { (*reset)(); }))
{
}

Desktop::~Desktop() = default;

core::DisplaySource& Desktop::displays() { return *displays_; }

core::PermissionsProbe& Desktop::permissions() { return *permissions_; }

IdleInhibitor& Desktop::idleInhibitor() { return *presence_; }

LockState& Desktop::lockState() { return *presence_; }

std::unique_ptr<core::FrameSource> Desktop::openFrames() { return std::make_unique<FrameSource>(); }

std::unique_ptr<InputInjector> Desktop::openInput() { return os::XTestInput::open(); }

} // namespace core::x11
