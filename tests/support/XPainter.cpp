#include "XPainter.h"

#include <cstdlib>

#include "linux/x11/XConnection.h"

XPainter::XPainter()
    : x_(core::x11::Connection::open())
{
}

XPainter::~XPainter() = default;

bool XPainter::connected() const
{
    return x_ && !x_->broken();
}

uint32_t XPainter::rect(const QRect& r, uint32_t rgb)
{
    const uint32_t id = xcb_generate_id(x_->get());
    const uint32_t values[] = {rgb, 1};
    xcb_create_window(x_->get(), XCB_COPY_FROM_PARENT, id, x_->root(), int16_t(r.x()), int16_t(r.y()),
                      uint16_t(r.width()), uint16_t(r.height()), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      x_->screen()->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(x_->get(), id);
    sync();
    return id;
}

void XPainter::recolour(uint32_t window, uint32_t rgb)
{
    xcb_change_window_attributes(x_->get(), window, XCB_CW_BACK_PIXEL, &rgb);
    xcb_clear_area(x_->get(), 0, window, 0, 0, 0, 0);
    xcb_flush(x_->get());
}

void XPainter::movePointer(int x, int y)
{
    xcb_warp_pointer(x_->get(), XCB_NONE, x_->root(), 0, 0, 0, 0, int16_t(x), int16_t(y));
    sync();
}

void XPainter::sync()
{
    core::x11::Reply<xcb_get_input_focus_reply_t> r(
        xcb_get_input_focus_reply(x_->get(), xcb_get_input_focus(x_->get()), nullptr));
}

bool colourNear(uint32_t got, uint32_t want, int tolerance)
{
    for (int shift : {16, 8, 0}) {
        if (std::abs(int((got >> shift) & 0xff) - int((want >> shift) & 0xff)) > tolerance)
            return false;
    }
    return true;
}
