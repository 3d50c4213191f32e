#pragma once

#include "Clipboard.h"
#include "DesktopBackend.h"
#include "DisplaySource.h"
#include "FrameSource.h"
#include "IdleInhibitor.h"
#include "LockState.h"
#include "InputInjector.h"
#include "PermissionsProbe.h"
#include "WindowControl.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>
#include <vector>

// An input injector that writes down what it is asked to post, one line per call ("move 10,20",
// "button 1 down", "key 0x61 up", "prepare 0x61 0x62", "busy" for a refused prepare, "neutral" and
// "plain" when the locks are cleared and put back, "restore"), and answers round
// trips when the test says so. Its descriptor never becomes readable, like an X connection whose
// reply xcb already read: answers are only seen by polling.
class FakeInput : public core::InputInjector {
public:
    struct State {
        QStringList calls;
        std::size_t spares = 4;  // spare keys it claims to have
        int busy = 0;            // prepares refused (no spare key free) before one succeeds
        bool answerAcks = true;  // a requested round trip is answered at once
        bool smooth = false;     // offers smooth scrolling ("scroll dx,dy")
        bool remapOnPrepare = false;
        bool neutral = false;
        bool remapped = false;
        bool ackPending = false;
        bool ackDone = false;
    };
    explicit FakeInput(std::shared_ptr<State> state);
    ~FakeInput() override;

    // Answers the round trip in flight (seen at the next pollAck()).
    static void answer(State& state) { state.ackDone = state.ackPending; }

    int fd() const override;
    void moveTo(int x, int y) override;
    void button(std::uint8_t button, bool press) override;
    bool smoothScroll() const override { return s_->smooth; }
    void scroll(double dx, double dy) override { s_->calls << QStringLiteral("scroll %1,%2").arg(dx).arg(dy); }
    bool prepare(const std::vector<KeySym>& syms, Clock::time_point now, bool shiftedToo) override;
    std::optional<Clock::time_point> nextSpareFree(Clock::time_point now) const override;
    bool key(KeySym sym, bool press) override;
    bool type(KeySym sym) override;
    void beginNeutral() override;
    void endNeutral() override;
    bool neutral() const override;
    bool restorePending() const override;
    void restoreIdle(std::optional<Clock::time_point> now) override;
    bool remapped() const override;
    std::size_t spareCount() const override;
    void releaseAll() override;
    void requestAck() override;
    bool ackPending() const override;
    bool pollAck() override;
    std::optional<QPoint> ackedPointer() const override;
    void flush() override { }
    void sync() override { }

private:
    std::shared_ptr<State> s_;
    int fds_[2] = {-1, -1};
};

// A desktop backend without a display server: displays and permissions as the test sets them.
// By default frame sources fail like an unreachable desktop and there is no input; with
// `capturable` every display shows a picture that changes on every frame, and with `input` set the
// sessions' input goes to a FakeInput writing into it. Lets sessions be driven in tests where no X
// server runs.
class FakeDesktop : public core::DesktopBackend {
public:
    FakeDesktop();
    ~FakeDesktop() override;

    // Replaces the display list and announces it as a change.
    void setDisplays(std::vector<core::DisplayInfo> displays);
    core::Permissions granted;
    // Locks or unlocks the screen, announcing the change.
    void setLocked(bool locked);
    // Idle holds alive now, and activity declarations so far.
    int holds() const;
    int activity() const;
    core::MemoryClipboard memoryClipboard;
    bool capturable = false;
    std::shared_ptr<FakeInput::State> input;
    // Pictures grabbed by the frame sources so far (from capture threads).
    std::atomic<int> grabbed{0};

    core::DisplaySource& displays() override;
    core::PermissionsProbe& permissions() override;
    core::IdleInhibitor& idleInhibitor() override;
    core::LockState& lockState() override;
    std::unique_ptr<core::FrameSource> openFrames() override;
    std::unique_ptr<core::InputInjector> openInput() override;
    core::SystemActions& actions() override;
    core::Clipboard& clipboard() override { return memoryClipboard; }
    core::WindowControl& windows() override { return windows_; }

private:
    class Displays;
    class Probe;
    class Presence;
    class Frames;
    std::unique_ptr<Displays> displays_;
    std::unique_ptr<Probe> probe_;
    std::unique_ptr<Presence> presence_;
    std::unique_ptr<core::SystemActions> actions_;
    core::NoWindows windows_;
};
