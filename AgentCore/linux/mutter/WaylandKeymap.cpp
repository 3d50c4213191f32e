#include "WaylandKeymap.h"

#include "FreeWith.h"

#include <wayland-client.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

namespace core::mutter {

namespace {

// wl_seat 5 has release; nothing newer is needed.
constexpr std::uint32_t kSeatVersion = 5;

struct Fd {
    int fd;
    ~Fd() { ::close(fd); }
};

struct Mapping {
    void* data;
    size_t size;
    ~Mapping()
    {
        if (data != MAP_FAILED)
            ::munmap(data, size);
    }
};

int millisecondsUntil(std::chrono::steady_clock::time_point until)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    return int(std::max<std::chrono::milliseconds::rep>(0, left.count()));
}

} // namespace

// The C listener tables; `data` is the WaylandKeymap.
struct WaylandKeymap::Listeners {
    static void global(void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version)
    {
        auto* self = static_cast<WaylandKeymap*>(data);
        // The first seat is the one Mutter's virtual devices join.
        if (self->seat_ || std::strcmp(interface, wl_seat_interface.name) != 0)
            return;
        self->seat_.reset(static_cast<wl_seat*>(
            wl_registry_bind(registry, name, &wl_seat_interface, std::min(version, kSeatVersion))));
        wl_seat_add_listener(self->seat_.get(), &seat, self);
    }
    static void globalRemove(void*, wl_registry*, std::uint32_t) { }

    static void capabilities(void* data, wl_seat* s, std::uint32_t caps)
    {
        auto* self = static_cast<WaylandKeymap*>(data);
        const bool keyboard = caps & WL_SEAT_CAPABILITY_KEYBOARD;
        if (keyboard && !self->keyboard_) {
            self->keyboard_.reset(wl_seat_get_keyboard(s));
            wl_keyboard_add_listener(self->keyboard_.get(), &keyboardListener, self);
        } else if (!keyboard) {
            // The last keymap stays: it is what the keyboard will have when it comes back.
            self->keyboard_.reset();
        }
    }
    static void seatName(void*, wl_seat*, const char*) { }

    static void keymap(void* data, wl_keyboard*, std::uint32_t format, int fd, std::uint32_t size)
    {
        static_cast<WaylandKeymap*>(data)->takeKeymap(format, fd, size);
    }
    static void enter(void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) { }
    static void leave(void*, wl_keyboard*, std::uint32_t, wl_surface*) { }
    static void key(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) { }
    static void modifiers(void* data, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                          std::uint32_t group)
    {
        static_cast<WaylandKeymap*>(data)->group_ = group;
    }
    static void repeatInfo(void*, wl_keyboard*, std::int32_t, std::int32_t) { }

    static void done(void* data, wl_callback*, std::uint32_t) { *static_cast<bool*>(data) = true; }

    static constexpr wl_registry_listener registry{global, globalRemove};
    static constexpr wl_seat_listener seat{capabilities, seatName};
    static constexpr wl_keyboard_listener keyboardListener{keymap, enter, leave, key, modifiers, repeatInfo};
    static constexpr wl_callback_listener callback{done};
};

void WaylandKeymap::DisplayDeleter::operator()(wl_display* d) const { wl_display_disconnect(d); }

void WaylandKeymap::RegistryDeleter::operator()(wl_registry* r) const { wl_registry_destroy(r); }

void WaylandKeymap::SeatDeleter::operator()(wl_seat* s) const
{
    if (wl_seat_get_version(s) >= WL_SEAT_RELEASE_SINCE_VERSION)
        wl_seat_release(s);
    else
        wl_seat_destroy(s);
}

void WaylandKeymap::KeyboardDeleter::operator()(wl_keyboard* k) const
{
    if (wl_keyboard_get_version(k) >= WL_KEYBOARD_RELEASE_SINCE_VERSION)
        wl_keyboard_release(k);
    else
        wl_keyboard_destroy(k);
}

std::unique_ptr<WaylandKeymap> WaylandKeymap::connect()
{
    // Never the default "wayland-0" of some other session: only the display this one names.
    const char* name = std::getenv("WAYLAND_DISPLAY");
    if (!name || !*name)
        return nullptr;
    std::unique_ptr<WaylandKeymap> keymap(new WaylandKeymap);
    keymap->display_.reset(wl_display_connect(name));
    if (!keymap->display_)
        return nullptr;
    keymap->registry_.reset(wl_display_get_registry(keymap->display_.get()));
    wl_registry_add_listener(keymap->registry_.get(), &Listeners::registry, keymap.get());
    wl_display_flush(keymap->display_.get());
    return keymap;
}

WaylandKeymap::~WaylandKeymap()
{
    // Proxies go before the display they belong to.
    keyboard_.reset();
    seat_.reset();
    registry_.reset();
}

int WaylandKeymap::fd() const { return wl_display_get_fd(display_.get()); }

bool WaylandKeymap::dispatch()
{
    if (broken_)
        return false;
    wl_display* d = display_.get();
    while (wl_display_prepare_read(d) != 0) {
        if (wl_display_dispatch_pending(d) < 0)
            return !(broken_ = true);
    }
    wl_display_flush(d);
    pollfd p{wl_display_get_fd(d), POLLIN, 0};
    if (::poll(&p, 1, 0) > 0) {
        if (wl_display_read_events(d) < 0)
            return !(broken_ = true);
    } else {
        wl_display_cancel_read(d);
    }
    if (wl_display_dispatch_pending(d) < 0)
        broken_ = true;
    return !broken_;
}

bool WaylandKeymap::roundtrip(std::chrono::steady_clock::time_point until)
{
    wl_display* d = display_.get();
    bool done = false;
    const std::unique_ptr<wl_callback, FreeWith<wl_callback_destroy>> sync(wl_display_sync(d));
    wl_callback_add_listener(sync.get(), &Listeners::callback, &done);
    while (!done && !broken_) {
        while (wl_display_prepare_read(d) != 0) {
            if (wl_display_dispatch_pending(d) < 0)
                return !(broken_ = true);
        }
        if (done) {
            wl_display_cancel_read(d);
            break;
        }
        wl_display_flush(d);
        pollfd p{wl_display_get_fd(d), POLLIN, 0};
        if (::poll(&p, 1, millisecondsUntil(until)) <= 0) {
            wl_display_cancel_read(d);
            return false;
        }
        if (wl_display_read_events(d) < 0 || wl_display_dispatch_pending(d) < 0)
            broken_ = true;
    }
    return done;
}

void WaylandKeymap::settle(std::chrono::milliseconds limit)
{
    if (known() || broken_ || waited_ >= limit)
        return;
    const auto start = std::chrono::steady_clock::now();
    const auto until = start + (limit - waited_);
    // Each round trip answers one step (the seat, its keyboard, the keymap); one that brings
    // nothing new means the compositor has no keyboard to tell of yet.
    while (!known() && !broken_) {
        const bool hadSeat = seat_ != nullptr, hadKeyboard = keyboard_ != nullptr;
        if (!roundtrip(until) || ((seat_ != nullptr) == hadSeat && (keyboard_ != nullptr) == hadKeyboard))
            break;
    }
    waited_ += std::chrono::ceil<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

void WaylandKeymap::takeKeymap(std::uint32_t format, int fd, std::uint32_t size)
{
    const Fd owned{fd};
    if (format != WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 || size == 0)
        return;
    const Mapping map{::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0), size};
    if (map.data == MAP_FAILED)
        return;
    // The text ends with a NUL the size counts.
    const char* text = static_cast<const char*>(map.data);
    std::optional<KeymapKeys> keys = KeymapKeys::fromText(std::string_view(text, strnlen(text, size)));
    if (!keys)
        return;
    keys_ = std::move(keys);
    group_.reset();
    ++serial_;
}

} // namespace core::mutter
