#pragma once

#include <QPoint>

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace core {

// Synthetic pointer and keyboard input on the desktop, on a channel of its own. Requests are
// queued and sent by flush(); nothing here waits for the desktop except sync() and destruction.
// Positions are in the desktop's pixels; keys are keysyms (Keys.h). Keys are pressed with the
// keyboard's locks and layout group cleared (see beginNeutral()). Everything pressed is released,
// and every key map change put back, when the injector is destroyed. One thread at a time.
class InputInjector {
public:
    using Clock = std::chrono::steady_clock;
    using KeySym = std::uint32_t;
    // How long a key lent to a keysym the keyboard map lacks keeps it after its last use: clients
    // read the key map after the key event has reached them.
    static constexpr std::chrono::milliseconds kHold{200};

    virtual ~InputInjector() = default;

    // A descriptor that becomes readable when the desktop answered (see pollAck()); -1 when none.
    virtual int fd() const = 0;

    virtual void moveTo(int x, int y) = 0;
    // X button numbers: 1 left, 3 right, 4/5 wheel up/down, 6/7 wheel left/right.
    virtual void button(std::uint8_t button, bool press) = 0;
    // Whether scroll(), smooth scrolling by pixels, is offered; without it scrolling goes as
    // wheel clicks through button().
    virtual bool smoothScroll() const { return false; }
    // Scrolls by pixels: positive dy up, positive dx left.
    virtual void scroll(double /*dx*/, double /*dy*/) { }

    // Makes every keysym of `syms` typeable, lending spare keys to those the key map lacks. False
    // (nothing changed) when not enough spare keys are free at `now`; try again at
    // nextSpareFree(). With `shiftedToo` a keysym on a key's shifted level counts as present.
    virtual bool prepare(const std::vector<KeySym>& syms, Clock::time_point now, bool shiftedToo) = 0;
    virtual std::optional<Clock::time_point> nextSpareFree(Clock::time_point now) const = 0;
    // Presses or releases the key carrying `sym`. False when no key carries it.
    virtual bool key(KeySym sym, bool press) = 0;
    // Types one keysym: press and release, with Shift around it when only the shifted level has it.
    virtual bool type(KeySym sym) = 0;

    // Clears the keyboard's locks and group for typing; endNeutral() puts them back once the
    // desktop told what they were.
    virtual void beginNeutral() = 0;
    virtual void endNeutral() = 0;
    // Cleared, and not yet put back.
    virtual bool neutral() const = 0;
    // endNeutral() was called and waits for the desktop's answer to put things back.
    virtual bool restorePending() const = 0;

    // Puts back the lent keys idle for kHold; all of them when `now` is none.
    virtual void restoreIdle(std::optional<Clock::time_point> now) = 0;
    virtual bool remapped() const = 0;
    virtual std::size_t spareCount() const = 0;

    // Releases every key and button this injector holds down.
    virtual void releaseAll() = 0;

    // A round trip that tells when the desktop has handled everything sent before it; its answer
    // is the pointer position at that moment.
    virtual void requestAck() = 0;
    virtual bool ackPending() const = 0;
    // Reads what the desktop sent without waiting. True when the pending ack has just completed.
    virtual bool pollAck() = 0;
    virtual std::optional<QPoint> ackedPointer() const = 0;

    virtual void flush() = 0;
    // Sends everything and waits for the desktop to have handled it.
    virtual void sync() = 0;
};

} // namespace core
