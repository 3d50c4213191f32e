#include "XScreenGrabber.h"

#include "XConnection.h"
#include "XMonitors.h"

#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>
#include <xcb/xinput.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace core::x11 {

// One System V shared-memory segment attached to the process and to the X server.
class ShmImage {
public:
    static std::unique_ptr<ShmImage> create(const Connection& x, size_t bytes)
    {
        // 0600: the screen's contents are for this user only.
        const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (id < 0)
            return nullptr;
        void* addr = shmat(id, nullptr, 0);
        if (addr == reinterpret_cast<void*>(-1)) {
            shmctl(id, IPC_RMID, nullptr);
            return nullptr;
        }
        std::unique_ptr<ShmImage> image(new ShmImage(x, addr, bytes));
        image->seg_ = xcb_generate_id(x.get());
        Reply<xcb_generic_error_t> error(
            xcb_request_check(x.get(), xcb_shm_attach_checked(x.get(), image->seg_, uint32_t(id), 0)));
        // Both sides are attached (or the server refused): mark for removal now, so the segment
        // disappears with the last detach even if this process dies.
        shmctl(id, IPC_RMID, nullptr);
        if (error) {
            image->seg_ = 0;
            return nullptr;
        }
        return image;
    }

    ~ShmImage()
    {
        if (seg_ && !x_.broken()) {
            xcb_shm_detach(x_.get(), seg_);
            xcb_flush(x_.get());
        }
        shmdt(addr_);
    }

    uint8_t* data() const { return static_cast<uint8_t*>(addr_); }
    size_t size() const { return size_; }
    uint32_t segment() const { return seg_; }

private:
    ShmImage(const Connection& x, void* addr, size_t size) : x_(x), addr_(addr), size_(size) { }
    const Connection& x_; // the grabber owns both and destroys the image first
    void* addr_;
    size_t size_;
    uint32_t seg_ = 0;
};

namespace {

bool rootIsBgrx(const Connection& x)
{
    const xcb_setup_t* setup = xcb_get_setup(x.get());
    if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST || x.screen()->root_depth != 24)
        return false;
    bool bpp32 = false;
    for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem; xcb_format_next(&it)) {
        if (it.data->depth == 24)
            bpp32 = it.data->bits_per_pixel == 32;
    }
    if (!bpp32)
        return false;
    for (auto d = xcb_screen_allowed_depths_iterator(x.screen()); d.rem; xcb_depth_next(&d)) {
        for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v)) {
            if (v.data->visual_id == x.screen()->root_visual)
                return v.data->red_mask == 0xff0000 && v.data->green_mask == 0xff00 && v.data->blue_mask == 0xff;
        }
    }
    return false;
}

bool intersects(const xcb_rectangle_t& r, const Area& a)
{
    return r.x < a.x + a.width && a.x < r.x + r.width && r.y < a.y + a.height && a.y < r.y + r.height;
}

uint8_t blend(uint32_t src, uint8_t dst, int shift, uint32_t alpha)
{
    // The cursor image is premultiplied: out = src + dst * (1 - alpha).
    return uint8_t(std::min<uint32_t>(255, ((src >> shift) & 0xff) + dst * (255 - alpha) / 255));
}

} // namespace

std::unique_ptr<ScreenGrabber> ScreenGrabber::open(QString* error)
{
    auto x = Connection::open();
    if (!x) {
        *error = QStringLiteral("cannot open the X display");
        return nullptr;
    }
    if (x->firstEvent(&xcb_shm_id) < 0) {
        *error = QStringLiteral("the X display lacks MIT-SHM");
        return nullptr;
    }
    if (!rootIsBgrx(*x)) {
        *error = QStringLiteral("the X display is not a 24-bit true-colour screen");
        return nullptr;
    }
    return std::unique_ptr<ScreenGrabber>(new ScreenGrabber(std::move(x)));
}

ScreenGrabber::ScreenGrabber(std::unique_ptr<Connection> x)
    : x_(std::move(x))
    , wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    xfixesBase_ = x_->firstEvent(&xcb_xfixes_id);
    if (xfixesBase_ >= 0) {
        Reply<xcb_xfixes_query_version_reply_t> v(
            xcb_xfixes_query_version_reply(x_->get(), xcb_xfixes_query_version(x_->get(), 4, 0), nullptr));
        hasCursor_ = v && v->major_version >= 1;
    }
}

ScreenGrabber::~ScreenGrabber()
{
    for (xcb_generic_event_t* e : queued_)
        std::free(e);
    if (wakeFd_ >= 0)
        close(wakeFd_);
    shm_.reset();
    if (damage_ && !x_->broken()) {
        if (damaged_)
            xcb_xfixes_destroy_region(x_->get(), damaged_);
        xcb_damage_destroy(x_->get(), damage_);
        xcb_flush(x_->get());
    }
}

void ScreenGrabber::watchChanges()
{
    damageBase_ = x_->firstEvent(&xcb_damage_id);
    if (damageBase_ >= 0) {
        Reply<xcb_damage_query_version_reply_t> v(
            xcb_damage_query_version_reply(x_->get(), xcb_damage_query_version(x_->get(), 1, 1), nullptr));
        damage_ = xcb_generate_id(x_->get());
        // Bounding-box reports: one event whenever the damaged box grows, cleared by subtract.
        xcb_damage_create(x_->get(), damage_, x_->root(), XCB_DAMAGE_REPORT_LEVEL_BOUNDING_BOX);
        // The damage taken out at each poll is read back into this region: a report's box can
        // span older damage elsewhere, the region's rectangles cannot.
        if (hasCursor_) {
            damaged_ = xcb_generate_id(x_->get());
            xcb_xfixes_create_region(x_->get(), damaged_, 0, nullptr);
        }
    }
    randrBase_ = x_->firstEvent(&xcb_randr_id);
    if (randrBase_ >= 0) {
        Reply<xcb_randr_query_version_reply_t> v(
            xcb_randr_query_version_reply(x_->get(), xcb_randr_query_version(x_->get(), 1, 5), nullptr));
        xcb_randr_select_input(x_->get(), x_->root(),
                               XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE
                                   | XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
    }
    // A changed monitor list (--setmonitor / --delmonitor) arrives as ConfigureNotify on the root.
    const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(x_->get(), x_->root(), XCB_CW_EVENT_MASK, &mask);
    watchPointer();
    xcb_flush(x_->get());
}

void ScreenGrabber::watchPointer()
{
    // Moves over any window reach the root as raw XInput 2 events; image changes as XFixes cursor
    // notices. With both, a still pointer costs nothing; without, it is looked at every frame.
    const xcb_query_extension_reply_t* xi = xcb_get_extension_data(x_->get(), &xcb_input_id);
    if (!hasCursor_ || damageBase_ < 0 || wakeFd_ < 0 || !xi || !xi->present)
        return;
    Reply<xcb_input_xi_query_version_reply_t> v(
        xcb_input_xi_query_version_reply(x_->get(), xcb_input_xi_query_version(x_->get(), 2, 0), nullptr));
    if (!v || v->major_version < 2)
        return;
    struct {
        xcb_input_event_mask_t head;
        uint32_t bits;
    } motion{{XCB_INPUT_DEVICE_ALL_MASTER, 1}, XCB_INPUT_XI_EVENT_MASK_RAW_MOTION};
    Reply<xcb_generic_error_t> refused(
        xcb_request_check(x_->get(), xcb_input_xi_select_events_checked(x_->get(), x_->root(), 1, &motion.head)));
    if (refused)
        return;
    xcb_xfixes_select_cursor_input(x_->get(), x_->root(), XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
    xinputOpcode_ = xi->major_opcode;
    pointerEvents_ = true;
}

xcb_generic_event_t* ScreenGrabber::nextEvent()
{
    if (!queued_.empty()) {
        xcb_generic_event_t* e = queued_.front();
        queued_.erase(queued_.begin());
        return e;
    }
    return xcb_poll_for_event(x_->get());
}

void ScreenGrabber::waitForEvents(std::chrono::steady_clock::time_point until)
{
    // Replies read since the last poll may have brought events along: those sit in the
    // connection's queue, where poll() on the socket cannot see them.
    while (xcb_generic_event_t* e = xcb_poll_for_queued_event(x_->get()))
        queued_.push_back(e);
    if (!queued_.empty() || x_->broken())
        return;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0)
        return;
    pollfd fds[2] = {{xcb_get_file_descriptor(x_->get()), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    const int ready = ::poll(fds, 2, int(std::min<std::chrono::milliseconds::rep>(left.count(), 60000)));
    if (ready > 0 && fds[1].revents) {
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = read(wakeFd_, &count, sizeof count);
    }
    // A client that warps the pointer makes no device event: after a quiet while, look anyway.
    if (ready == 0)
        pointerActive_ = true;
}

void ScreenGrabber::wake()
{
    const uint64_t one = 1;
    if (wakeFd_ >= 0)
        [[maybe_unused]] const ssize_t n = write(wakeFd_, &one, sizeof one);
}

ScreenGrabber::Changes ScreenGrabber::poll(const Area& area)
{
    Changes changes;
    bool anyDamage = false;
    while (Reply<xcb_generic_event_t> event{nextEvent()}) {
        const int type = event->response_type & 0x7f;
        if (type == XCB_GE_GENERIC) {
            const auto* ge = reinterpret_cast<const xcb_ge_generic_event_t*>(event.get());
            pointerActive_ = pointerActive_ || ge->extension == xinputOpcode_;
        } else if (xfixesBase_ >= 0 && type == xfixesBase_ + XCB_XFIXES_CURSOR_NOTIFY) {
            pointerActive_ = true;
        } else if (damageBase_ >= 0 && type == damageBase_ + XCB_DAMAGE_NOTIFY) {
            anyDamage = true;
            const auto* d = reinterpret_cast<const xcb_damage_notify_event_t*>(event.get());
            changes.damaged = changes.damaged || intersects(d->area, area);
        } else if (type == XCB_CONFIGURE_NOTIFY
                   || (randrBase_ >= 0
                       && (type == randrBase_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY || type == randrBase_ + XCB_RANDR_NOTIFY))) {
            changes.layout = true;
        }
    }
    // Empty the damage region, so the next drawing anywhere reports again. Damage that happens
    // after this request arrives as new events and is picked up on the next poll.
    if (anyDamage && damaged_) {
        xcb_damage_subtract(x_->get(), damage_, XCB_NONE, damaged_);
        Reply<xcb_xfixes_fetch_region_reply_t> region(
            xcb_xfixes_fetch_region_reply(x_->get(), xcb_xfixes_fetch_region(x_->get(), damaged_), nullptr));
        if (region) {
            const xcb_rectangle_t* rects = xcb_xfixes_fetch_region_rectangles(region.get());
            const int count = xcb_xfixes_fetch_region_rectangles_length(region.get());
            changes.damaged = std::any_of(rects, rects + count, [&](const xcb_rectangle_t& r) { return intersects(r, area); });
        }
    } else if (anyDamage) {
        xcb_damage_subtract(x_->get(), damage_, XCB_NONE, XCB_NONE);
        xcb_flush(x_->get());
    }
    return changes;
}

bool ScreenGrabber::cursorChanged(const Area& area)
{
    if (!hasCursor_ || (pointerEvents_ && !pointerActive_ && cursor_))
        return false;
    pointerActive_ = false;
    Reply<xcb_xfixes_get_cursor_image_reply_t> c(
        xcb_xfixes_get_cursor_image_reply(x_->get(), xcb_xfixes_get_cursor_image(x_->get()), nullptr));
    if (!c)
        return false;
    CursorState now{c->x - c->xhot, c->y - c->yhot, c->width, c->height, c->cursor_serial, false};
    const xcb_rectangle_t r{int16_t(now.x), int16_t(now.y), uint16_t(now.width), uint16_t(now.height)};
    now.inside = intersects(r, area);
    const bool changed = cursor_ && *cursor_ != now && (now.inside || cursor_->inside);
    cursor_ = now;
    return changed;
}

const BgrxImage* ScreenGrabber::grab(const Area& area, bool withCursor)
{
    withCursor_.reset();
    if (area.width <= 0 || area.height <= 0 || x_->broken())
        return nullptr;
    const size_t bytes = size_t(area.width) * size_t(area.height) * 4;
    if (!shm_ || shm_->size() < bytes) {
        shm_.reset();
        shm_ = ShmImage::create(*x_, bytes);
        if (!shm_)
            return nullptr;
    }
    const auto cookie = xcb_shm_get_image(x_->get(), x_->root(), int16_t(area.x), int16_t(area.y),
                                          uint16_t(area.width), uint16_t(area.height), ~0u,
                                          XCB_IMAGE_FORMAT_Z_PIXMAP, shm_->segment(), 0);
    // Fails while the screen is being resized and the area sticks out of the root window.
    Reply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(x_->get(), cookie, nullptr));
    if (!reply)
        return nullptr;
    image_ = {shm_->data(), area.width * 4, area.width, area.height};
    under_ = {};
    if (withCursor) {
        drawCursor(area);
        withCursor_ = area;
    }
    return &image_;
}

const BgrxImage* ScreenGrabber::redrawCursor(const Area& area, std::vector<Area>& changed)
{
    if (withCursor_ != area || x_->broken())
        return nullptr;
    uint8_t* dst = shm_->data();
    const uint32_t* saved = underPixels_.data();
    for (int row = 0; row < under_.height; ++row, saved += under_.width) {
        uint8_t* line = dst + size_t(under_.y + row) * size_t(image_.stride) + size_t(under_.x) * 4;
        std::memcpy(line, saved, size_t(under_.width) * 4);
    }
    if (under_.width > 0 && under_.height > 0)
        changed.push_back(under_);
    under_ = {};
    drawCursor(area);
    if (under_.width > 0 && under_.height > 0)
        changed.push_back(under_);
    return &image_;
}

void ScreenGrabber::drawCursor(const Area& area)
{
    if (!hasCursor_)
        return;
    Reply<xcb_xfixes_get_cursor_image_reply_t> c(
        xcb_xfixes_get_cursor_image_reply(x_->get(), xcb_xfixes_get_cursor_image(x_->get()), nullptr));
    if (!c)
        return;
    const uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(c.get());
    const int left = c->x - c->xhot - area.x, top = c->y - c->yhot - area.y;
    // The part of the pointer inside the picture; what it covers is kept, to be put back when
    // only the pointer moves.
    const int x0 = std::max(0, left), x1 = std::min(area.width, left + int(c->width));
    const int y0 = std::max(0, top), y1 = std::min(area.height, top + int(c->height));
    if (x1 <= x0 || y1 <= y0)
        return;
    under_ = {x0, y0, x1 - x0, y1 - y0};
    underPixels_.resize(size_t(under_.width) * size_t(under_.height));
    uint8_t* dst = shm_->data();
    uint32_t* saved = underPixels_.data();
    for (int y = y0; y < y1; ++y, saved += under_.width) {
        uint8_t* line = dst + size_t(y) * size_t(image_.stride);
        std::memcpy(saved, line + size_t(x0) * 4, size_t(under_.width) * 4);
        for (int x = x0; x < x1; ++x) {
            const uint32_t p = pixels[size_t(y - top) * c->width + size_t(x - left)];
            const uint32_t alpha = p >> 24;
            if (alpha == 0)
                continue;
            uint8_t* px = line + size_t(x) * 4;
            px[0] = blend(p, px[0], 0, alpha);
            px[1] = blend(p, px[1], 8, alpha);
            px[2] = blend(p, px[2], 16, alpha);
        }
    }
}

bool ScreenGrabber::broken() const
{
    return x_->broken();
}

std::vector<DisplayInfo> ScreenGrabber::monitors() const
{
    return x11::monitors(*x_);
}

} // namespace core::x11
