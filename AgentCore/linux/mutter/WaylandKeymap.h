#pragma once

#include "KeymapKeys.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

struct wl_display;
struct wl_registry;
struct wl_seat;
struct wl_keyboard;

namespace core::mutter {

// The compositor's keyboard map, as a Wayland client of it sees it, and whether a keysym can be
// typed through it (KeymapKeys). Later keymaps (the user switched layouts) replace the first as they arrive.
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
    bool known() const { return keys_.has_value(); }
    // Counts the keymaps received.
    std::uint64_t serial() const { return serial_; }
    // KeymapKeys::typeable() in the current layout. The compositor tells the layout only to the
    // client with the keyboard's focus, which this one never has: unknown, any layout's keys count.
    std::optional<KeySym> typeable(KeySym sym) const { return keys_ ? keys_->typeable(sym, group_) : std::nullopt; }

private:
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

    WaylandKeymap() = default;
    // Sends what is queued and waits up to `until` for the compositor to answer it.
    bool roundtrip(std::chrono::steady_clock::time_point until);
    void takeKeymap(std::uint32_t format, int fd, std::uint32_t size);

    std::unique_ptr<wl_display, DisplayDeleter> display_;
    std::unique_ptr<wl_registry, RegistryDeleter> registry_;
    std::unique_ptr<wl_seat, SeatDeleter> seat_;
    std::unique_ptr<wl_keyboard, KeyboardDeleter> keyboard_;
    std::optional<KeymapKeys> keys_;
    std::optional<std::uint32_t> group_;
    std::uint64_t serial_ = 0;
    std::chrono::milliseconds waited_{0};
    bool broken_ = false;
};

} // namespace core::mutter
