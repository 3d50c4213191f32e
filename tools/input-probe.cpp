// input-probe: an X client that records the input it receives, one line per event on standard
// output, for tests and benchmarks of synthetic input.
//
//   input-probe X Y WIDTH HEIGHT [--stamp]
//   input-probe --state
//
// Opens an override-redirect window over the given area, takes the input focus and prints "ready"
// once it can receive events. Then, per event:
//   motion X Y STATE
//   press BUTTON X Y TIME STATE CLICKS   release BUTTON X Y TIME STATE
//   keydown KEYSYM STATE CODEPOINT       keyup KEYSYM STATE CODEPOINT  (hexadecimal keysym and
//                                                                       code point, 0 for none)
//   mapping FIRST COUNT                  (the keyboard map changed)
//   locks GROUP MODS                     (the locked layout group or modifiers changed; MODS in
//                                         hexadecimal)
// Coordinates are root coordinates, times the server's milliseconds, STATE the modifier and
// button mask (with the layout group in bits 13 and 14). CLICKS counts a series of presses as
// toolkits do for double and triple clicks. A key event is read as an XKB-aware toolkit reads it:
// with the keymap as it stands when the event is handled (read again after a change is announced)
// and the modifiers and group of STATE, Caps Lock included. With --stamp every event line ends
// with the time the probe read the event from the server, in nanoseconds on CLOCK_MONOTONIC (the
// clock of node's process.hrtime).
//
// With --state it prints one line and exits: "state BUTTONS KEYS MAP", the pointer's button mask,
// how many keys are down, and a checksum of the keyboard map (hexadecimal) to compare before and
// after a change.
#include <xcb/xcb.h>
// WORKAROUND: xcb's XKB header names a member `explicit`, which is a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

#include <bit>
#include <cstdio>
#include <cstdint>
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

// The keyboard as an XKB-aware toolkit sees it: key events are read with the keymap and the
// modifiers and layout group their state field carries, Caps Lock turning letters into capitals.
class Keyboard {
public:
    static std::optional<Keyboard> open(xcb_connection_t* c)
    {
        std::uint8_t event = 0;
        if (!xkb_x11_setup_xkb_extension(c, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                         XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, &event, nullptr)) {
            std::fprintf(stderr, "input-probe: the X display has no XKEYBOARD extension\n");
            return std::nullopt;
        }
        Keyboard k(c, event);
        if (!k.state_) {
            std::fprintf(stderr, "input-probe: cannot read the keyboard\n");
            return std::nullopt;
        }
        return k;
    }

    std::uint8_t event() const { return event_; }
    // The keyboard map changed: read it again before the next key event.
    void changed() { stale_ = true; }

    xcb_keysym_t lookup(xcb_keycode_t code, std::uint16_t state)
    {
        if (stale_)
            read();
        if (!state_)
            return 0;
        xkb_state_update_mask(state_.get(), state & 0xff, 0, 0, 0, 0, (state >> 13) & 3);
        return xkb_state_key_get_one_sym(state_.get(), code);
    }

private:
    struct FreeContext {
        void operator()(xkb_context* p) const { xkb_context_unref(p); }
    };
    struct FreeKeymap {
        void operator()(xkb_keymap* p) const { xkb_keymap_unref(p); }
    };
    struct FreeState {
        void operator()(xkb_state* p) const { xkb_state_unref(p); }
    };

    Keyboard(xcb_connection_t* c, std::uint8_t event)
        : c_(c)
        , event_(event)
        , context_(xkb_context_new(XKB_CONTEXT_NO_FLAGS))
        , device_(xkb_x11_get_core_keyboard_device_id(c))
    {
        const std::uint16_t events = XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY
            | XCB_XKB_EVENT_TYPE_STATE_NOTIFY;
        const xcb_xkb_select_events_details_t none{};
        xcb_xkb_select_events_aux(c, XCB_XKB_ID_USE_CORE_KBD, events, 0, events, 0xff, 0xff, &none);
        read();
    }

    void read()
    {
        stale_ = false;
        keymap_.reset(xkb_x11_keymap_new_from_device(context_.get(), c_, device_, XKB_KEYMAP_COMPILE_NO_FLAGS));
        state_.reset(keymap_ ? xkb_state_new(keymap_.get()) : nullptr);
    }

    xcb_connection_t* c_;
    std::uint8_t event_;
    std::unique_ptr<xkb_context, FreeContext> context_;
    std::int32_t device_;
    std::unique_ptr<xkb_keymap, FreeKeymap> keymap_;
    std::unique_ptr<xkb_state, FreeState> state_;
    bool stale_ = false;
};

// Counts clicks as toolkits do: a press of the same button within 400 ms (server time) and 4
// pixels of the last one continues its series.
class ClickCounter {
public:
    int press(unsigned button, int x, int y, std::uint32_t time)
    {
        const bool series = count_ > 0 && button == button_ && time - time_ <= 400 && std::abs(x - x_) <= 4
            && std::abs(y - y_) <= 4;
        count_ = series ? count_ + 1 : 1;
        button_ = button;
        x_ = x;
        y_ = y;
        time_ = time;
        return count_;
    }

private:
    int count_ = 0;
    unsigned button_ = 0;
    int x_ = 0;
    int y_ = 0;
    std::uint32_t time_ = 0;
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

    std::optional<Keyboard> keyboard = Keyboard::open(c);
    if (!keyboard)
        return 1;
    ClickCounter clicks;
    int lockedGroup = 0;
    int lockedMods = 0;
    Reply<xcb_xkb_get_state_reply_t> locks(xcb_xkb_get_state_reply(c, xcb_xkb_get_state(c, XCB_XKB_ID_USE_CORE_KBD), nullptr),
                                           &std::free);
    if (locks) {
        lockedGroup = locks->lockedGroup;
        lockedMods = locks->lockedMods;
    }
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
        case XCB_BUTTON_PRESS: {
            const auto* b = reinterpret_cast<const xcb_button_press_event_t*>(raw);
            std::printf("press %u %d %d %u %u %d", b->detail, b->root_x, b->root_y, b->time, b->state,
                        clicks.press(b->detail, b->root_x, b->root_y, b->time));
            end();
            break;
        }
        case XCB_BUTTON_RELEASE: {
            const auto* b = reinterpret_cast<const xcb_button_release_event_t*>(raw);
            std::printf("release %u %d %d %u %u", b->detail, b->root_x, b->root_y, b->time, b->state);
            end();
            break;
        }
        case XCB_KEY_PRESS:
        case XCB_KEY_RELEASE: {
            const auto* k = reinterpret_cast<const xcb_key_press_event_t*>(raw);
            const xcb_keysym_t sym = keyboard->lookup(k->detail, k->state);
            std::printf("%s %x %u %x", (e->response_type & 0x7f) == XCB_KEY_PRESS ? "keydown" : "keyup", sym,
                        k->state, xkb_keysym_to_utf32(sym));
            end();
            break;
        }
        default:
            if ((e->response_type & 0x7f) != keyboard->event())
                break;
            // The second byte of every XKB event says which one it is.
            switch (reinterpret_cast<const xcb_xkb_map_notify_event_t*>(raw)->xkbType) {
            case XCB_XKB_NEW_KEYBOARD_NOTIFY: {
                const auto* n = reinterpret_cast<const xcb_xkb_new_keyboard_notify_event_t*>(raw);
                keyboard->changed();
                std::printf("mapping %u %u", n->minKeyCode, n->maxKeyCode - n->minKeyCode + 1);
                end();
                break;
            }
            case XCB_XKB_MAP_NOTIFY: {
                const auto* m = reinterpret_cast<const xcb_xkb_map_notify_event_t*>(raw);
                keyboard->changed();
                std::printf("mapping %u %u", m->firstKeySym, m->nKeySyms);
                end();
                break;
            }
            case XCB_XKB_STATE_NOTIFY: {
                const auto* n = reinterpret_cast<const xcb_xkb_state_notify_event_t*>(raw);
                if (n->lockedGroup == lockedGroup && n->lockedMods == lockedMods)
                    break;
                lockedGroup = n->lockedGroup;
                lockedMods = n->lockedMods;
                std::printf("locks %d %x", lockedGroup, static_cast<unsigned>(lockedMods));
                end();
                break;
            }
            default:
                break;
            }
            break;
        }
    }
    return 0;
}
