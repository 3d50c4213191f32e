#pragma once

#include "InputInjector.h"

#include <QPoint>
#include <QRect>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <vector>

namespace core::x11 {
class Connection;
}

namespace core::os {

using KeySym = InputInjector::KeySym;

// Keycodes without any keysym, lent out to keysyms that the keyboard map lacks. A keycode keeps
// its keysym for `hold` after its last use before it is lent again or put back, because X clients
// read the keyboard map after the key event has reached them.
class SpareKeys {
public:
    using Clock = std::chrono::steady_clock;

    SpareKeys(std::vector<std::uint8_t> codes, Clock::duration hold);

    std::size_t size() const { return slots_.size(); }
    // The keycode lent to `sym`, if any.
    std::optional<std::uint8_t> find(KeySym sym) const;
    // Lends keycodes to all of `syms` (those not lent already), or to none of them when not enough
    // are free at `now`. Answers the keycodes newly lent, with their keysyms.
    std::optional<std::vector<std::pair<std::uint8_t, KeySym>>> lend(const std::vector<KeySym>& syms,
                                                                     Clock::time_point now);
    void used(std::uint8_t code, Clock::time_point now);
    // When the next keycode becomes free; none when every keycode is free already.
    std::optional<Clock::time_point> nextFree(Clock::time_point now) const;
    // Takes back the keycodes idle for `hold` at `now` (all of them when `now` is none).
    std::vector<std::uint8_t> takeBack(std::optional<Clock::time_point> now);
    bool anyLent() const;
    bool contains(std::uint8_t code) const;

private:
    struct Slot {
        std::uint8_t code = 0;
        KeySym sym = 0; // 0: free
        Clock::time_point lastUse;
    };
    bool idle(const Slot& s, Clock::time_point now) const { return now - s.lastUse >= hold_; }

    std::vector<Slot> slots_;
    Clock::duration hold_;
};

// Synthetic pointer and keyboard input on the X display through XTEST, on a connection of its
// own. Requests are queued and sent by flush(); nothing here waits for the server except sync(),
// the keyboard map read at start (and again after another client changed it) and destruction.
// Keys are pressed with the keyboard's locks and group cleared (see beginNeutral()).
// Everything this object pressed is released, and every keycode it remapped is put back, when it
// is destroyed. One thread at a time.
class XTestInput : public InputInjector {
public:

    // Connects to $DISPLAY; none, with one log line, without a display or without XTEST.
    static std::unique_ptr<XTestInput> open();
    ~XTestInput() override;
    XTestInput(const XTestInput&) = delete;
    XTestInput& operator=(const XTestInput&) = delete;

    int fd() const override;
    QRect screen() const { return screen_; }

    void moveTo(int x, int y) override;
    void button(std::uint8_t xbutton, bool press) override;

    // Lends spare keycodes to the keysyms of `syms` that the keyboard map lacks and remaps them.
    // False (nothing changed) when not enough spare keycodes are free at `now`; try again at
    // nextSpareFree(). Keysyms that no key can ever carry are left out.
    // With `shiftedToo`, a keysym on the shifted level of a key counts as present (typing);
    // otherwise only the unshifted level does (key strokes, which must not depend on Shift or
    // Num Lock).
    bool prepare(const std::vector<KeySym>& syms, Clock::time_point now, bool shiftedToo) override;
    std::optional<Clock::time_point> nextSpareFree(Clock::time_point now) const override;
    // Presses or releases the key carrying `sym` (prepared first when the map lacks it). False
    // when no key carries it.
    bool key(KeySym sym, bool press) override;
    // Types one keysym: press and release, with Shift around it when only the shifted level
    // carries it.
    bool type(KeySym sym) override;

    // Typed text and key strokes must give the keysyms their keys carry in the first group, whatever
    // layout group and locks (Caps Lock, Num Lock) the desktop has: beginNeutral() clears the locked
    // and latched modifiers and the locked and latched group, asking the server in the same breath
    // what they were. endNeutral() puts the locks and the group back as soon as that answer is in
    // (pollAck() and sync() read it); latches stay used up, as any key press uses them up. A no-op
    // on a server without XKB.
    void beginNeutral() override;
    void endNeutral() override;
    // Cleared, and not yet put back.
    bool neutral() const override { return neutral_; }
    // endNeutral() was called and waits for the server's answer to put things back.
    bool restorePending() const override { return neutral_ && restoreWanted_; }

    // Puts back the keycodes idle for the hold time; all of them when `now` is none.
    void restoreIdle(std::optional<Clock::time_point> now) override;
    bool remapped() const override { return spares_.anyLent(); }
    std::size_t spareCount() const override { return spares_.size(); }

    // Releases every key and button this object holds down.
    void releaseAll() override;
    bool holding() const { return !keysDown_.empty() || !buttonsDown_.empty(); }

    // A round trip that tells when the server has handled everything sent before it; its answer
    // is the pointer position at that moment.
    void requestAck() override;
    bool ackPending() const override { return ackSeq_.has_value(); }
    // Reads what the server sent without waiting (and puts the locks back when their answer is in).
    // True when the pending ack has just completed.
    bool pollAck() override;
    // The pointer position the last completed ack reported.
    std::optional<QPoint> ackedPointer() const override { return pointer_; }

    void flush() override;
    // Sends everything and waits for the server to have handled it, locks put back included.
    void sync() override;

private:
    struct Place {
        std::uint8_t code = 0;
        bool shifted = false;
    };

    // The keyboard's locked modifiers and group as they were before beginNeutral().
    struct Locks {
        std::uint8_t mods = 0;
        std::uint8_t group = 0;
    };

    XTestInput(std::unique_ptr<x11::Connection> c, std::uint32_t root, QRect screen,
               std::optional<std::uint8_t> xkbEvent);
    void readMap();
    std::optional<Place> place(KeySym sym, bool shiftedToo);
    void press(std::uint8_t code, bool down);
    void remap(std::uint8_t code, KeySym sym);
    void drainEvents();
    // Takes the answer to the state question of beginNeutral(), waiting for it when `wait`, and
    // puts the locks back when endNeutral() asked for that.
    void takeLocks(bool wait);

    std::unique_ptr<x11::Connection> c_;
    std::uint32_t root_ = 0;
    QRect screen_;
    std::uint8_t minCode_ = 8;
    std::uint8_t perCode_ = 0;
    std::vector<KeySym> map_; // (code - minCode_) * perCode_ + column
    bool mapStale_ = false;
    SpareKeys spares_;
    std::set<std::uint8_t> keysDown_;
    std::set<std::uint8_t> buttonsDown_;
    std::optional<unsigned> ackSeq_;
    std::optional<QPoint> pointer_;
    // The XKB event code; none without XKB.
    std::optional<std::uint8_t> xkbEvent_;
    bool neutral_ = false;
    bool restoreWanted_ = false;
    std::optional<unsigned> locksSeq_;
    std::optional<Locks> locks_;
};

} // namespace core::os
