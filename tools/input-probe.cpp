// input-probe: an X client that records the input it receives, one line per event on standard
// output, for tests and benchmarks of synthetic input.
//
//   input-probe X Y WIDTH HEIGHT [--stamp]
//   input-probe --state
//
// Opens an override-redirect window over the given area, takes the input focus and prints "ready"
// once it can receive events. Then, per event:
//   motion X Y STATE
//   press BUTTON X Y TIME STATE       release BUTTON X Y TIME STATE
//   keydown KEYSYM STATE CODEPOINT    keyup KEYSYM STATE CODEPOINT     (hexadecimal keysym and
//                                                                        code point, 0 for none)
//   mapping FIRST COUNT                (the keyboard map changed)
// Coordinates are root coordinates, times the server's milliseconds, STATE the modifier and
// button mask. With --stamp every event line ends with the time the probe read the event from the
// server, in nanoseconds on CLOCK_MONOTONIC (the clock of node's process.hrtime). The keysym of a key event is read from the keyboard map as it stands when the
// event is handled; the map is read again as soon as a change is announced.
//
// With --state it prints one line and exits: "state BUTTONS KEYS MAP", the pointer's button mask,
// how many keys are down, and a checksum of the keyboard map (hexadecimal) to compare before and
// after a change.
#include <xcb/xcb.h>
#include <xkbcommon/xkbcommon.h>

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace {

template <typename T> using Reply = std::unique_ptr<T, decltype(&std::free)>;

struct Disconnect {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};

class Keymap {
public:
    explicit Keymap(xcb_connection_t* c)
        : c_(c)
    {
        read();
    }

    void read()
    {
        const xcb_setup_t* setup = xcb_get_setup(c_);
        min_ = setup->min_keycode;
        const auto count = static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1);
        Reply<xcb_get_keyboard_mapping_reply_t> r(
            xcb_get_keyboard_mapping_reply(c_, xcb_get_keyboard_mapping(c_, min_, count), nullptr), &std::free);
        if (!r)
            return;
        per_ = r->keysyms_per_keycode;
        const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(r.get());
        syms_.assign(syms, syms + xcb_get_keyboard_mapping_keysyms_length(r.get()));
    }

    xcb_keysym_t lookup(xcb_keycode_t code, std::uint16_t state) const
    {
        const std::size_t row = static_cast<std::size_t>(code - min_) * per_;
        if (per_ == 0 || row + per_ > syms_.size())
            return 0;
        const xcb_keysym_t lower = syms_[row];
        const xcb_keysym_t upper = per_ > 1 ? syms_[row + 1] : 0;
        if ((state & XCB_MOD_MASK_SHIFT) && upper)
            return upper;
        return lower;
    }

private:
    xcb_connection_t* c_;
    xcb_keycode_t min_ = 8;
    std::uint8_t per_ = 0;
    std::vector<xcb_keysym_t> syms_;
};

// The X display of $DISPLAY and its screen; absent (with a message) when it cannot be reached.
struct XDisplay {
    std::unique_ptr<xcb_connection_t, Disconnect> conn;
    xcb_screen_t* screen = nullptr;
};

std::optional<XDisplay> connectDisplay()
{
    int screenNumber = 0;
    XDisplay d{std::unique_ptr<xcb_connection_t, Disconnect>(xcb_connect(nullptr, &screenNumber)), nullptr};
    if (xcb_connection_has_error(d.conn.get())) {
        std::fprintf(stderr, "input-probe: cannot connect to the X display\n");
        return std::nullopt;
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(d.conn.get()));
    for (int i = 0; i < screenNumber && it.rem; ++i)
        xcb_screen_next(&it);
    d.screen = it.data;
    return d;
}

// The --state line.
int printState()
{
    std::optional<XDisplay> display = connectDisplay();
    if (!display)
        return 1;
    xcb_connection_t* c = display->conn.get();
    Reply<xcb_query_pointer_reply_t> pointer(xcb_query_pointer_reply(c, xcb_query_pointer(c, display->screen->root), nullptr),
                                             &std::free);
    Reply<xcb_query_keymap_reply_t> keys(xcb_query_keymap_reply(c, xcb_query_keymap(c), nullptr), &std::free);
    const xcb_setup_t* setup = xcb_get_setup(c);
    const auto count = static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1);
    Reply<xcb_get_keyboard_mapping_reply_t> map(
        xcb_get_keyboard_mapping_reply(c, xcb_get_keyboard_mapping(c, setup->min_keycode, count), nullptr), &std::free);
    if (!pointer || !keys || !map) {
        std::fprintf(stderr, "input-probe: the X server did not answer\n");
        return 1;
    }
    int down = 0;
    for (std::uint8_t byte : keys->keys)
        down += std::popcount(byte);
    // FNV-1a over the keysyms.
    std::uint64_t sum = 14695981039346656037ull;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(map.get());
    for (int i = 0; i < xcb_get_keyboard_mapping_keysyms_length(map.get()); ++i) {
        sum ^= syms[i];
        sum *= 1099511628211ull;
    }
    std::printf("state %u %d %llx\n", pointer->mask & 0x1f00u, down, static_cast<unsigned long long>(sum));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::string_view(argv[1]) == "--state")
        return printState();
    const bool stamp = argc == 6 && std::string_view(argv[5]) == "--stamp";
    if (argc != 5 && !stamp) {
        std::fprintf(stderr, "usage: input-probe X Y WIDTH HEIGHT [--stamp] | input-probe --state\n");
        return 2;
    }
    const auto x = static_cast<std::int16_t>(std::atoi(argv[1]));
    const auto y = static_cast<std::int16_t>(std::atoi(argv[2]));
    const auto width = static_cast<std::uint16_t>(std::atoi(argv[3]));
    const auto height = static_cast<std::uint16_t>(std::atoi(argv[4]));
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    std::optional<XDisplay> display = connectDisplay();
    if (!display)
        return 1;
    xcb_connection_t* c = display->conn.get();
    xcb_screen_t* screen = display->screen;

    const xcb_window_t window = xcb_generate_id(c);
    const std::uint32_t values[] = {
        screen->white_pixel,
        1, // override-redirect: the window manager leaves its place and size alone
        XCB_EVENT_MASK_POINTER_MOTION | XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE
            | XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE | XCB_EVENT_MASK_STRUCTURE_NOTIFY,
    };
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, x, y, width, height, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    xcb_map_window(c, window);
    xcb_flush(c);

    Keymap keymap(c);
    while (xcb_generic_event_t* raw = xcb_wait_for_event(c)) {
        Reply<xcb_generic_event_t> e(raw, &std::free);
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        // Ends an event line.
        const auto end = [&] {
            if (stamp)
                std::printf(" %lld\n", static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
            else
                std::printf("\n");
        };
        switch (e->response_type & 0x7f) {
        case XCB_MAP_NOTIFY: {
            xcb_set_input_focus(c, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
            Reply<xcb_get_input_focus_reply_t> focus(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr),
                                                     &std::free);
            std::printf("ready\n");
            break;
        }
        case XCB_MOTION_NOTIFY: {
            const auto* m = reinterpret_cast<const xcb_motion_notify_event_t*>(raw);
            std::printf("motion %d %d %u", m->root_x, m->root_y, m->state);
            end();
            break;
        }
        case XCB_BUTTON_PRESS:
        case XCB_BUTTON_RELEASE: {
            const auto* b = reinterpret_cast<const xcb_button_press_event_t*>(raw);
            std::printf("%s %u %d %d %u %u", (e->response_type & 0x7f) == XCB_BUTTON_PRESS ? "press" : "release",
                        b->detail, b->root_x, b->root_y, b->time, b->state);
            end();
            break;
        }
        case XCB_KEY_PRESS:
        case XCB_KEY_RELEASE: {
            const auto* k = reinterpret_cast<const xcb_key_press_event_t*>(raw);
            const xcb_keysym_t sym = keymap.lookup(k->detail, k->state);
            std::printf("%s %x %u %x", (e->response_type & 0x7f) == XCB_KEY_PRESS ? "keydown" : "keyup", sym,
                        k->state, xkb_keysym_to_utf32(sym));
            end();
            break;
        }
        case XCB_MAPPING_NOTIFY: {
            const auto* m = reinterpret_cast<const xcb_mapping_notify_event_t*>(raw);
            if (m->request == XCB_MAPPING_KEYBOARD) {
                keymap.read();
                std::printf("mapping %u %u", m->first_keycode, m->count);
                end();
            }
            break;
        }
        default:
            break;
        }
    }
    return 0;
}
