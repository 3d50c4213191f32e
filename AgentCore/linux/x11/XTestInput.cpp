#include "XTestInput.h"

#include "Log.h"
#include "XConnection.h"

#include <xcb/xcb.h>
#include <xcb/xcbext.h>
// WORKAROUND: xcb's XKB header names a member `explicit`, which is a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <xcb/xtest.h>
#include <xkbcommon/xkbcommon-keysyms.h>

#include <algorithm>
#include <cstdlib>

namespace core::os {

namespace {

using x11::Reply;

constexpr KeySym kNoSymbol = 0;

// Asks for the XKB events that tell of another client's keyboard map change: a client that uses
// XKB no longer receives the core MappingNotify for it.
std::optional<std::uint8_t> useXkb(xcb_connection_t* c)
{
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_xkb_id);
    if (!ext || !ext->present)
        return std::nullopt;
    Reply<xcb_xkb_use_extension_reply_t> use(
        xcb_xkb_use_extension_reply(c, xcb_xkb_use_extension(c, XCB_XKB_MAJOR_VERSION, XCB_XKB_MINOR_VERSION), nullptr));
    if (!use || !use->supported)
        return std::nullopt;
    const std::uint16_t events = XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY;
    const xcb_xkb_select_events_details_t none{};
    xcb_xkb_select_events_aux(c, XCB_XKB_ID_USE_CORE_KBD, events, 0, events, XCB_XKB_MAP_PART_KEY_SYMS,
                              XCB_XKB_MAP_PART_KEY_SYMS, &none);
    return ext->first_event;
}

} // namespace

// ---- SpareKeys ----

SpareKeys::SpareKeys(std::vector<std::uint8_t> codes, Clock::duration hold)
    : hold_(hold)
{
    for (std::uint8_t c : codes)
        slots_.push_back({c, 0, Clock::time_point{}});
}

std::optional<std::uint8_t> SpareKeys::find(KeySym sym) const
{
    for (const Slot& s : slots_) {
        if (s.sym == sym && sym != 0)
            return s.code;
    }
    return std::nullopt;
}

std::optional<std::vector<std::pair<std::uint8_t, KeySym>>> SpareKeys::lend(const std::vector<KeySym>& syms,
                                                                            Clock::time_point now)
{
    std::vector<KeySym> wanted;
    for (KeySym sym : syms) {
        if (sym != 0 && !find(sym) && std::find(wanted.begin(), wanted.end(), sym) == wanted.end())
            wanted.push_back(sym);
    }
    // Free slots first, then the ones idle longest; a slot lent to a keysym of this request stays.
    std::vector<Slot*> candidates;
    for (Slot& s : slots_) {
        const bool needed = s.sym != 0 && std::find(syms.begin(), syms.end(), s.sym) != syms.end();
        if (!needed && (s.sym == 0 || idle(s, now)))
            candidates.push_back(&s);
    }
    if (candidates.size() < wanted.size())
        return std::nullopt;
    std::stable_sort(candidates.begin(), candidates.end(), [](const Slot* a, const Slot* b) {
        return (a->sym == 0) != (b->sym == 0) ? a->sym == 0 : a->lastUse < b->lastUse;
    });
    std::vector<std::pair<std::uint8_t, KeySym>> lent;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        candidates[i]->sym = wanted[i];
        candidates[i]->lastUse = now;
        lent.emplace_back(candidates[i]->code, wanted[i]);
    }
    return lent;
}

void SpareKeys::used(std::uint8_t code, Clock::time_point now)
{
    for (Slot& s : slots_) {
        if (s.code == code)
            s.lastUse = now;
    }
}

std::optional<SpareKeys::Clock::time_point> SpareKeys::nextFree(Clock::time_point now) const
{
    std::optional<Clock::time_point> next;
    for (const Slot& s : slots_) {
        if (s.sym == 0 || idle(s, now))
            return std::nullopt;
        const Clock::time_point at = s.lastUse + hold_;
        if (!next || at < *next)
            next = at;
    }
    return next;
}

std::vector<std::uint8_t> SpareKeys::takeBack(std::optional<Clock::time_point> now)
{
    std::vector<std::uint8_t> codes;
    for (Slot& s : slots_) {
        if (s.sym != 0 && (!now || idle(s, *now))) {
            s.sym = 0;
            codes.push_back(s.code);
        }
    }
    return codes;
}

bool SpareKeys::contains(std::uint8_t code) const
{
    return std::any_of(slots_.begin(), slots_.end(), [code](const Slot& s) { return s.code == code; });
}

bool SpareKeys::anyLent() const
{
    return std::any_of(slots_.begin(), slots_.end(), [](const Slot& s) { return s.sym != 0; });
}

// ---- XTestInput ----

std::unique_ptr<XTestInput> XTestInput::open()
{
    std::unique_ptr<x11::Connection> c = x11::Connection::open();
    if (!c) {
        log(QStringLiteral("input: cannot connect to the X display"));
        return nullptr;
    }
    if (!c->has(&xcb_test_id)) {
        log(QStringLiteral("input: the X display has no XTEST extension"));
        return nullptr;
    }
    const QRect screen(0, 0, c->screen()->width_in_pixels, c->screen()->height_in_pixels);
    const std::uint32_t root = c->root();
    const std::optional<std::uint8_t> xkbEvent = useXkb(c->get());
    if (!xkbEvent)
        log(QStringLiteral("input: the X display has no XKEYBOARD extension; typing follows the desktop's "
                           "locks and layout group"));
    return std::unique_ptr<XTestInput>(new XTestInput(std::move(c), root, screen, xkbEvent));
}

XTestInput::XTestInput(std::unique_ptr<x11::Connection> c, std::uint32_t root, QRect screen,
                       std::optional<std::uint8_t> xkbEvent)
    : c_(std::move(c))
    , root_(root)
    , screen_(screen)
    , spares_({}, kHold)
    , xkbEvent_(xkbEvent)
{
    readMap();
    std::vector<std::uint8_t> spare;
    for (std::size_t i = 0; perCode_ && i < map_.size() / perCode_; ++i) {
        const auto first = map_.begin() + static_cast<std::ptrdiff_t>(i * perCode_);
        if (std::all_of(first, first + perCode_, [](KeySym s) { return s == kNoSymbol; }))
            spare.push_back(static_cast<std::uint8_t>(minCode_ + i));
    }
    spares_ = SpareKeys(std::move(spare), kHold);
}

XTestInput::~XTestInput()
{
    releaseAll();
    restoreIdle(std::nullopt);
    sync();
}

void XTestInput::beginNeutral()
{
    restoreWanted_ = false;
    if (neutral_ || !xkbEvent_)
        return;
    // Both requests go out together, so nothing the server does between them is lost: the answer
    // tells the state right before it was cleared.
    locksSeq_ = xcb_xkb_get_state(c_->get(), XCB_XKB_ID_USE_CORE_KBD).sequence;
    locks_.reset();
    xcb_xkb_latch_lock_state(c_->get(), XCB_XKB_ID_USE_CORE_KBD, 0xff, 0, 1, XCB_XKB_GROUP_1, 0xff, 1, 0);
    neutral_ = true;
}

void XTestInput::endNeutral()
{
    if (!neutral_)
        return;
    restoreWanted_ = true;
    takeLocks(false);
}

void XTestInput::takeLocks(bool wait)
{
    if (locksSeq_) {
        void* answer = nullptr;
        xcb_generic_error_t* error = nullptr;
        if (wait)
            answer = xcb_xkb_get_state_reply(c_->get(), xcb_xkb_get_state_cookie_t{*locksSeq_}, &error);
        if (wait || xcb_poll_for_reply(c_->get(), *locksSeq_, &answer, &error)) {
            Reply<xcb_xkb_get_state_reply_t> state(static_cast<xcb_xkb_get_state_reply_t*>(answer));
            Reply<xcb_generic_error_t> failed(error);
            locksSeq_.reset();
            locks_ = state ? Locks{state->lockedMods, state->lockedGroup} : Locks{};
        }
    }
    if (!neutral_ || !restoreWanted_ || !locks_)
        return;
    // Only what was there is put back; a lock the user set meanwhile stays.
    if (locks_->mods != 0 || locks_->group != 0) {
        xcb_xkb_latch_lock_state(c_->get(), XCB_XKB_ID_USE_CORE_KBD, locks_->mods, locks_->mods, locks_->group != 0,
                                 locks_->group, 0, 0, 0);
        flush();
    }
    neutral_ = false;
    restoreWanted_ = false;
    locks_.reset();
}

int XTestInput::fd() const { return xcb_get_file_descriptor(c_->get()); }

void XTestInput::readMap()
{
    const xcb_setup_t* setup = xcb_get_setup(c_->get());
    minCode_ = setup->min_keycode;
    const std::uint8_t count = static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1);
    Reply<xcb_get_keyboard_mapping_reply_t> reply(
        xcb_get_keyboard_mapping_reply(c_->get(), xcb_get_keyboard_mapping(c_->get(), minCode_, count), nullptr));
    mapStale_ = false;
    if (!reply)
        return;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply.get());
    const int n = xcb_get_keyboard_mapping_keysyms_length(reply.get());
    perCode_ = reply->keysyms_per_keycode;
    map_.assign(syms, syms + n);
}

std::optional<XTestInput::Place> XTestInput::place(KeySym sym, bool shiftedToo)
{
    if (sym == kNoSymbol || !perCode_)
        return std::nullopt;
    if (const std::optional<std::uint8_t> lent = spares_.find(sym))
        return Place{*lent, false};
    if (mapStale_)
        readMap();
    for (int column = 0; column < (shiftedToo ? 2 : 1) && column < perCode_; ++column) {
        for (std::size_t i = 0; i < map_.size() / perCode_; ++i) {
            const auto code = static_cast<std::uint8_t>(minCode_ + i);
            if (map_[i * perCode_ + static_cast<std::size_t>(column)] == sym && !spares_.contains(code))
                return Place{code, column == 1};
        }
    }
    return std::nullopt;
}

void XTestInput::remap(std::uint8_t code, KeySym sym)
{
    std::vector<xcb_keysym_t> row(perCode_, sym);
    xcb_change_keyboard_mapping(c_->get(), 1, code, perCode_, row.data());
    const std::size_t at = static_cast<std::size_t>(code - minCode_) * perCode_;
    std::fill(map_.begin() + static_cast<std::ptrdiff_t>(at), map_.begin() + static_cast<std::ptrdiff_t>(at + perCode_), sym);
}

bool XTestInput::prepare(const std::vector<KeySym>& syms, Clock::time_point now, bool shiftedToo)
{
    std::vector<KeySym> missing;
    for (KeySym sym : syms) {
        if (!place(sym, shiftedToo))
            missing.push_back(sym);
    }
    if (missing.empty())
        return true;
    if (spares_.size() == 0)
        return true; // nothing can ever carry them; key() skips them
    const auto lent = spares_.lend(missing, now);
    if (!lent)
        return false;
    for (const auto& [code, sym] : *lent)
        remap(code, sym);
    return true;
}

std::optional<XTestInput::Clock::time_point> XTestInput::nextSpareFree(Clock::time_point now) const
{
    return spares_.nextFree(now);
}

bool XTestInput::key(KeySym sym, bool press)
{
    const std::optional<Place> p = place(sym, false);
    if (!p)
        return false;
    this->press(p->code, press);
    return true;
}

bool XTestInput::type(KeySym sym)
{
    const std::optional<Place> p = place(sym, true);
    if (!p)
        return false;
    const std::optional<Place> shiftKey = place(XKB_KEY_Shift_L, false);
    const bool shift = p->shifted && shiftKey && !keysDown_.count(shiftKey->code);
    if (shift)
        key(XKB_KEY_Shift_L, true);
    press(p->code, true);
    press(p->code, false);
    if (shift)
        key(XKB_KEY_Shift_L, false);
    return true;
}

void XTestInput::press(std::uint8_t code, bool down)
{
    if (down == (keysDown_.count(code) > 0))
        return;
    xcb_test_fake_input(c_->get(), down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, code, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    if (down)
        keysDown_.insert(code);
    else
        keysDown_.erase(code);
    spares_.used(code, Clock::now());
}

void XTestInput::restoreIdle(std::optional<Clock::time_point> now)
{
    for (std::uint8_t code : spares_.takeBack(now))
        remap(code, kNoSymbol);
    flush();
}

void XTestInput::moveTo(int x, int y)
{
    xcb_test_fake_input(c_->get(), XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root_, static_cast<std::int16_t>(x),
                        static_cast<std::int16_t>(y), 0);
}

void XTestInput::button(std::uint8_t xbutton, bool press)
{
    xcb_test_fake_input(c_->get(), press ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, xbutton, XCB_CURRENT_TIME, XCB_NONE,
                        0, 0, 0);
    if (press)
        buttonsDown_.insert(xbutton);
    else
        buttonsDown_.erase(xbutton);
}

void XTestInput::releaseAll()
{
    for (std::uint8_t b : buttonsDown_)
        xcb_test_fake_input(c_->get(), XCB_BUTTON_RELEASE, b, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    for (auto it = keysDown_.rbegin(); it != keysDown_.rend(); ++it)
        xcb_test_fake_input(c_->get(), XCB_KEY_RELEASE, *it, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    buttonsDown_.clear();
    keysDown_.clear();
    endNeutral();
    flush();
}

void XTestInput::requestAck()
{
    if (ackSeq_)
        return;
    ackSeq_ = xcb_query_pointer(c_->get(), root_).sequence;
}

void XTestInput::drainEvents()
{
    while (xcb_generic_event_t* e = xcb_poll_for_event(c_->get())) {
        Reply<xcb_generic_event_t> event(e);
        if (xkbEvent_ && (e->response_type & 0x7f) == *xkbEvent_) {
            // The second byte of every XKB event says which one it is.
            const auto* m = reinterpret_cast<const xcb_xkb_map_notify_event_t*>(e);
            const bool ours = m->xkbType == XCB_XKB_MAP_NOTIFY && m->nKeySyms == 1 && spares_.contains(m->firstKeySym);
            if ((m->xkbType == XCB_XKB_MAP_NOTIFY || m->xkbType == XCB_XKB_NEW_KEYBOARD_NOTIFY) && !ours)
                mapStale_ = true;
            continue;
        }
        if ((e->response_type & 0x7f) != XCB_MAPPING_NOTIFY)
            continue;
        const auto* m = reinterpret_cast<const xcb_mapping_notify_event_t*>(e);
        if (m->request != XCB_MAPPING_KEYBOARD)
            continue;
        // Our own remaps touch one spare keycode each; anything else is another client's change.
        const bool ours = m->count == 1 && spares_.contains(m->first_keycode);
        if (!ours)
            mapStale_ = true;
    }
}

bool XTestInput::pollAck()
{
    bool done = false;
    if (ackSeq_) {
        void* raw = nullptr;
        xcb_generic_error_t* error = nullptr;
        if (xcb_poll_for_reply(c_->get(), *ackSeq_, &raw, &error)) {
            Reply<xcb_query_pointer_reply_t> reply(static_cast<xcb_query_pointer_reply_t*>(raw));
            Reply<xcb_generic_error_t> failed(error);
            ackSeq_.reset();
            done = true;
            if (reply)
                pointer_ = QPoint(reply->root_x, reply->root_y);
        }
    }
    takeLocks(false);
    drainEvents();
    return done;
}

void XTestInput::flush() { xcb_flush(c_->get()); }

void XTestInput::sync()
{
    if (restorePending())
        takeLocks(true);
    Reply<xcb_get_input_focus_reply_t> reply(
        xcb_get_input_focus_reply(c_->get(), xcb_get_input_focus(c_->get()), nullptr));
}

} // namespace core::os
