#include "XScreenSaver.h"

#include "XConnection.h"

namespace core::x11 {

ScreenSaverReset::ScreenSaverReset() = default;

ScreenSaverReset::~ScreenSaverReset() = default;

void ScreenSaverReset::operator()()
{
    if (!conn_ || conn_->broken())
        conn_ = Connection::open();
    if (!conn_)
        return;
    // A request without a reply: nothing here waits for the server.
    xcb_force_screen_saver(conn_->get(), XCB_SCREEN_SAVER_RESET);
    xcb_flush(conn_->get());
}

} // namespace core::x11
