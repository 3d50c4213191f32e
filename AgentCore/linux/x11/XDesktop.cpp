#include "XDesktop.h"

#include "XClipboard.h"
#include "XDisplaySource.h"
#include "XFrameSource.h"
#include "XPermissionsProbe.h"
#include "XTestInput.h"

namespace core::x11 {

Desktop::Desktop()
    : displays_(std::make_unique<DisplaySource>())
    , permissions_(std::make_unique<PermissionsProbe>())
{
}

Desktop::~Desktop() = default;

core::DisplaySource& Desktop::displays() { return *displays_; }

core::PermissionsProbe& Desktop::permissions() { return *permissions_; }

std::unique_ptr<core::FrameSource> Desktop::openFrames() { return std::make_unique<FrameSource>(); }

std::unique_ptr<InputInjector> Desktop::openInput() { return os::XTestInput::open(); }

core::Clipboard& Desktop::clipboard()
{
    if (!clipboard_)
        clipboard_ = Clipboard::open();
    if (!clipboard_)
        clipboard_ = std::make_unique<MemoryClipboard>();
    return *clipboard_;
}

} // namespace core::x11
