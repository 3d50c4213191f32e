#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

struct wl_display;
struct wl_registry;
struct wl_seat;
struct wl_keyboard;
struct xkb_context;
struct xkb_keymap;

namespace core::mutter {

// The compositor's keyboard map, as a Wayland client of it sees it, and whether a keysym can be
// typed through it. Mutter types a keysym only when a key of the current layout carries it on one
// of the four levels that Shift and AltGr reach, and silently drops any other: the agent asks
// first. Later keymaps (the user switched layouts) replace the first as they arrive.
//
// The connection has no surface, so it never takes focus and hears nothing but the keymap.
// Nothing here waits except settle(), which is bounded. One thread at a time.
class WaylandKeymap {
public:
    using KeySym = std::uint32_t;

    // A connection to the display WAYLAND_DISPLAY names; none when it is unset or unreachable.
    static std::unique_ptr<WaylandKeymap> connect();
    ~WaylandKeymap();

    // Readable when the compositor sent something (see dispatch()).
    int fd() const;
    // Handles what the compositor sent, without waiting. False once the connection is broken.
    bool dispatch();
    // Waits for the first keymap, at most `limit` over this object's whole life: a compositor
    // that offers no keyboard (yet) costs that once, never again.
    void settle(std::chrono::milliseconds limit);

    // A keymap has arrived.
    bool known() const { return !layouts_.empty(); }
    // Counts the keymaps received.
    std::uint64_t serial() const { return serial_; }
    // The keysym that types what `sym` types in the current layout: `sym` itself when a key
    // carries it, else another keysym of the same character (a layout may carry "é" as the
    // Unicode keysym rather than the Latin-1 one); none when no key of the layout types it.
    // While the current layout is unknown, any layout's keys count.
    std::optional<KeySym> typeable(KeySym sym) const;

private:
    struct Layout {
        std::unordered_set<KeySym> syms;
        std::unordered_map<char32_t, KeySym> chars;
    };
    struct Listeners;
    struct DisplayDeleter {
        void operator()(wl_display* d) const;
    };
    struct RegistryDeleter {
        void operator()(wl_registry* r) const;
    };
    struct SeatDeleter {
        void operator()(wl_seat* s) const;
    };
    struct KeyboardDeleter {
        void operator()(wl_keyboard* k) const;
    };
    struct ContextDeleter {
        void operator()(xkb_context* c) const;
    };

    WaylandKeymap() = default;
    // Sends what is queued and waits up to `until` for the compositor to answer it.
    bool roundtrip(std::chrono::steady_clock::time_point until);
    void takeKeymap(std::uint32_t format, int fd, std::uint32_t size);
    static std::vector<Layout> layoutsOf(xkb_keymap* keymap);

    std::unique_ptr<wl_display, DisplayDeleter> display_;
    std::unique_ptr<wl_registry, RegistryDeleter> registry_;
    std::unique_ptr<wl_seat, SeatDeleter> seat_;
    std::unique_ptr<wl_keyboard, KeyboardDeleter> keyboard_;
    std::unique_ptr<xkb_context, ContextDeleter> context_;
    std::vector<Layout> layouts_;
    std::optional<std::uint32_t> group_;
    std::uint64_t serial_ = 0;
    std::chrono::milliseconds waited_{0};
    bool broken_ = false;
};

} // namespace core::mutter
