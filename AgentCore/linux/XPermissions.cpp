#include "Platform.h"

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <cstdlib>
#include <memory>

namespace core::Platform {

namespace {

struct XcbDisconnect {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
using XcbConnection = std::unique_ptr<xcb_connection_t, XcbDisconnect>;

template <typename T> using XcbReply = std::unique_ptr<T, decltype(&std::free)>;

} // namespace

Permissions permissions()
{
    Permissions p;
    int screenNumber = 0;
    XcbConnection c(xcb_connect(nullptr, &screenNumber));
    if (!c || xcb_connection_has_error(c.get()))
        return p;

    const xcb_query_extension_reply_t* xtest = xcb_get_extension_data(c.get(), &xcb_test_id);
    p.accessibility = xtest && xtest->present;

    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c.get()));
    for (int i = 0; i < screenNumber && it.rem; ++i)
        xcb_screen_next(&it);
    if (it.rem) {
        const xcb_get_image_cookie_t cookie =
            xcb_get_image(c.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, it.data->root, 0, 0, 1, 1, ~0u);
        XcbReply<xcb_get_image_reply_t> image(xcb_get_image_reply(c.get(), cookie, nullptr), &std::free);
        p.screen = image != nullptr;
    }
    return p;
}

} // namespace core::Platform
