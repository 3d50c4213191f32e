#include "XPermissionsProbe.h"

#include "XConnection.h"

#include <xcb/xtest.h>

namespace core::x11 {

Permissions PermissionsProbe::probe()
{
    Permissions p;
    const auto x = Connection::open();
    if (!x)
        return p;
    p.accessibility = x->has(&xcb_test_id);
    const xcb_get_image_cookie_t cookie = xcb_get_image(x->get(), XCB_IMAGE_FORMAT_Z_PIXMAP, x->root(), 0, 0, 1, 1, ~0u);
    const Reply<xcb_get_image_reply_t> image(xcb_get_image_reply(x->get(), cookie, nullptr));
    p.screen = image != nullptr;
    return p;
}

} // namespace core::x11
