// app-probe: a small X application for the applications and windows tests.
//
//   app-probe WxH+X+Y:TITLE [WxH+X+Y:TITLE ...]
//
// Opens one top-level window per argument (an empty TITLE gives an untitled window) with
// WM_CLASS "app-probe"/"AppProbe", _NET_WM_PID, a 32 x 32 opaque red _NET_WM_ICON and
// WM_DELETE_WINDOW, and _NET_STARTUP_ID from $DESKTOP_STARTUP_ID as toolkits set it. Prints "ready" and the window ids once all are mapped, and exits when the
// window manager asks any of them to close.
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

xcb_atom_t atom(xcb_connection_t* c, const char* name)
{
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> r(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(std::strlen(name)), name), nullptr), &std::free);
    return r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: app-probe WxH+X+Y:TITLE ...\n");
        return 2;
    }
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c))
        return 1;
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_atom_t protocols = atom(c, "WM_PROTOCOLS"), deleteWindow = atom(c, "WM_DELETE_WINDOW");
    const xcb_atom_t utf8 = atom(c, "UTF8_STRING"), netName = atom(c, "_NET_WM_NAME");
    const xcb_atom_t pidAtom = atom(c, "_NET_WM_PID"), iconAtom = atom(c, "_NET_WM_ICON");

    std::vector<uint32_t> icon{32, 32};
    icon.resize(2 + 32 * 32, 0xffff0000);
    const uint32_t pid = uint32_t(getpid());
    const char* startupId = std::getenv("DESKTOP_STARTUP_ID");
    const char wmClass[] = "app-probe\0AppProbe";

    std::vector<xcb_window_t> windows;
    for (int i = 1; i < argc; ++i) {
        unsigned w = 0, h = 0;
        int x = 0, y = 0, titleAt = 0;
        if (std::sscanf(argv[i], "%ux%u+%d+%d:%n", &w, &h, &x, &y, &titleAt) != 4 || titleAt == 0)
            return 2;
        const std::string title = argv[i] + titleAt;
        const xcb_window_t win = xcb_generate_id(c);
        const uint32_t values[] = {screen->white_pixel, XCB_EVENT_MASK_STRUCTURE_NOTIFY};
        xcb_create_window(c, XCB_COPY_FROM_PARENT, win, screen->root, int16_t(x), int16_t(y), uint16_t(w),
                          uint16_t(h), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
        if (!title.empty()) {
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, win, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                                uint32_t(title.size()), title.data());
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, win, netName, utf8, 8, uint32_t(title.size()), title.data());
        }
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, win, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, sizeof wmClass,
                            wmClass);
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, win, pidAtom, XCB_ATOM_CARDINAL, 32, 1, &pid);
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, win, iconAtom, XCB_ATOM_CARDINAL, 32, uint32_t(icon.size()),
                            icon.data());
        if (startupId)
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, win, atom(c, "_NET_STARTUP_ID"), utf8, 8,
                                uint32_t(std::strlen(startupId)), startupId);
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, win, protocols, XCB_ATOM_ATOM, 32, 1, &deleteWindow);
        // WM_NORMAL_HINTS with USPosition | USSize: the window manager keeps the position asked for.
        uint32_t hints[18] = {1 | 2, uint32_t(x), uint32_t(y), w, h};
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, win, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, 32, 18,
                            hints);
        xcb_map_window(c, win);
        windows.push_back(win);
    }
    xcb_flush(c);

    size_t mapped = 0;
    while (std::unique_ptr<xcb_generic_event_t, decltype(&std::free)> e{xcb_wait_for_event(c), &std::free}) {
        const int type = e->response_type & 0x7f;
        if (type == XCB_MAP_NOTIFY && ++mapped == windows.size()) {
            std::printf("ready");
            for (xcb_window_t w : windows)
                std::printf(" %u", w);
            std::printf("\n");
            std::fflush(stdout);
        } else if (type == XCB_CLIENT_MESSAGE) {
            const auto* m = reinterpret_cast<const xcb_client_message_event_t*>(e.get());
            if (m->type == protocols && m->data.data32[0] == deleteWindow)
                break;
        }
    }
    xcb_disconnect(c);
    return 0;
}
