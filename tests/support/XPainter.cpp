#include "XPainter.h"

#include <cstdlib>
#include <vector>

#include <xcb/render.h>

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

bool XPainter::cursorOver(const QRect& area, uint32_t argb)
{
    xcb_connection_t* c = x_->get();
    core::x11::Reply<xcb_render_query_pict_formats_reply_t> formats(
        xcb_render_query_pict_formats_reply(c, xcb_render_query_pict_formats(c), nullptr));
    if (!formats)
        return false;
    xcb_render_pictformat_t argb32 = 0;
    for (auto it = xcb_render_query_pict_formats_formats_iterator(formats.get()); it.rem; xcb_render_pictforminfo_next(&it)) {
        const xcb_render_directformat_t& d = it.data->direct;
        if (it.data->type == XCB_RENDER_PICT_TYPE_DIRECT && it.data->depth == 32 && d.alpha_shift == 24
            && d.alpha_mask == 0xff && d.red_shift == 16 && d.green_shift == 8 && d.blue_shift == 0)
            argb32 = it.data->id;
    }
    if (!argb32)
        return false;
    constexpr int kSize = 16;
    const std::vector<uint32_t> pixels(kSize * kSize, argb);
    const uint32_t pixmap = xcb_generate_id(c), gc = xcb_generate_id(c), picture = xcb_generate_id(c),
                   cursor = xcb_generate_id(c);
    xcb_create_pixmap(c, 32, pixmap, x_->root(), kSize, kSize);
    xcb_create_gc(c, gc, pixmap, 0, nullptr);
    xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc, kSize, kSize, 0, 0, 0, 32,
                  uint32_t(pixels.size() * 4), reinterpret_cast<const uint8_t*>(pixels.data()));
    xcb_render_create_picture(c, picture, pixmap, argb32, 0, nullptr);
    xcb_render_create_cursor(c, cursor, picture, 0, 0);
    const uint32_t window = xcb_generate_id(c);
    const uint32_t values[] = {1, cursor}; // override-redirect, cursor
    xcb_create_window(c, 0, window, x_->root(), int16_t(area.x()), int16_t(area.y()), uint16_t(area.width()),
                      uint16_t(area.height()), 0, XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT,
                      XCB_CW_OVERRIDE_REDIRECT | XCB_CW_CURSOR, values);
    xcb_map_window(c, window);
    xcb_render_free_picture(c, picture);
    xcb_free_gc(c, gc);
    xcb_free_pixmap(c, pixmap);
    xcb_free_cursor(c, cursor);
    sync();
    return true;
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
