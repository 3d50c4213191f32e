#include "XDesktop.h"

#include "XClipboard.h"
#include "XDisplaySource.h"
#include "XFrameSource.h"
#include "XPermissionsProbe.h"
#include "XScreenSaver.h"
#include "linux/DesktopPresence.h"
#include "XDpms.h"
#include "XTestInput.h"
#include "Log.h"
#include "linux/DesktopActions.h"
#include "XWindowControl.h"

namespace core::x11 {

Desktop::Desktop()
    : displays_(std::make_unique<DisplaySource>())
    , permissions_(std::make_unique<PermissionsProbe>())
    , presence_(std::make_unique<os::DesktopPresence>([reset = std::make_shared<ScreenSaverReset>()] { (*reset)(); }))
    , actions_(std::make_unique<os::DesktopActions>([this] { return openInput(); }, [] {
        if (const QString why = forceDisplaysOff(); !why.isEmpty())
            log(QStringLiteral("actions: display.sleep: ") + why);
    }))
{
    if (!(windows_ = WindowControl::open()))
        windows_ = std::make_unique<NoWindows>();
}

Desktop::~Desktop() = default;

core::DisplaySource& Desktop::displays() { return *displays_; }

core::PermissionsProbe& Desktop::permissions() { return *permissions_; }

IdleInhibitor& Desktop::idleInhibitor() { return *presence_; }

LockState& Desktop::lockState() { return *presence_; }

std::unique_ptr<core::FrameSource> Desktop::openFrames() { return std::make_unique<FrameSource>(); }

core::WindowControl& Desktop::windows() { return *windows_; }

std::unique_ptr<InputInjector> Desktop::openInput() { return os::XTestInput::open(); }

SystemActions& Desktop::actions() { return *actions_; }
core::Clipboard& Desktop::clipboard()
{
    if (!clipboard_)
        clipboard_ = Clipboard::open();
    if (!clipboard_)
        clipboard_ = std::make_unique<MemoryClipboard>();
    return *clipboard_;
}

} // namespace core::x11
