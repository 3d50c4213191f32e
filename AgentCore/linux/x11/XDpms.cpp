#include "XDpms.h"

#include <X11/Xlib.h>
#include <X11/extensions/dpms.h>

#include <memory>

namespace core::x11 {

namespace {
struct CloseDisplay {
    void operator()(Display* d) const { XCloseDisplay(d); }
};
} // namespace

QString forceDisplaysOff()
{
    // A connection of its own for one request: the other concerns' connections keep their pace.
    const std::unique_ptr<Display, CloseDisplay> display(XOpenDisplay(nullptr));
    if (!display)
        return QStringLiteral("cannot open the X display");
    int event = 0;
    int error = 0;
    if (!DPMSQueryExtension(display.get(), &event, &error) || !DPMSCapable(display.get()))
        return QStringLiteral("the X server has no DPMS");
    // Forcing a level is ignored while DPMS is disabled.
    DPMSEnable(display.get());
    DPMSForceLevel(display.get(), DPMSModeOff);
    XSync(display.get(), False);
    return {};
}

} // namespace core::x11
