#pragma once

#include "Display.h"
#include "Geometry.h"
#include "InputEvent.h"
#include "InputInjector.h"
#include "Keys.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <variant>

class QSocketNotifier;

namespace core {

// Turns the phone's input events into synthetic pointer and keyboard input on the desktop, through
// the backend's input injector.
// One per session; all methods run on the main thread.
//
// Input only acts while a stream runs: without a frame every event, keyboard included, is
// dropped. Posting never waits for the X server: events go into an ordered queue that is sent as
// fast as the server takes it, and consecutive pointer moves that arrive while the server has not
// caught up are merged into the last one. Text the keyboard map cannot type borrows spare
// keycodes, remapped for a short while and put back. Text and key strokes arrive as sent whatever
// the desktop's layout group and locks, which are cleared while they are typed and then put back.
//
// The session hands every data-channel message to receive(), sets the frame when a stream starts
// and when the displays change while streaming, and clears it when the stream stops.
class InputPoster : public QObject {
    Q_OBJECT
public:
    // One wheel click per this many pixels of scrolling; the rest is carried to the next event.
    static constexpr double kPixelsPerClick = 40;

    // Without an injector (the desktop takes no input) every event is dropped.
    explicit InputPoster(std::unique_ptr<InputInjector> input, QObject* parent = nullptr);
    // Releases every button and key still down and puts back every keymap change.
    ~InputPoster() override;

    // The streamed display's frame in X pixels of the root window; none when no stream runs.
    const std::optional<Geometry::Rect>& frame() const { return frame_; }
    // Clearing the frame (the stream stopped) drops queued input and releases everything held.
    void setFrame(std::optional<Geometry::Rect> frame);
    // A display as clients see it (points): its frame in pixels (Geometry::pixelFrame).
    void setFrame(const DisplayInfo& display);

    // Buttons held down through this poster.
    const std::set<MouseButton>& held() const { return held_; }

    // Decodes one data-channel message and posts it; a message that does not decode is dropped.
    void receive(const QByteArray& bytes);
    void post(const InputEvent& event);
    void handle(const InputEvent& event) { post(event); }

    // Drops queued input and releases every button and key this poster holds down. For a stream
    // stop, the end of the session and a peer that went away.
    void releaseAll();

    // Whether there is a desktop to post to.
    bool connected() const { return x_ != nullptr; }
    // Pointer moves merged into a later one instead of being posted.
    quint64 coalesced() const { return coalesced_; }
    // Everything queued has been sent.
    bool idle() const { return queue_.empty(); }

private:
    struct MoveTo {
        Geometry::Point to;
    };
    // Fractions of the frame's size.
    struct MoveBy {
        double dx = 0;
        double dy = 0;
        Geometry::Rect within;
    };
    struct Button {
        std::uint8_t xbutton;
        bool press;
    };
    struct Strokes {
        std::vector<Keys::Step> steps;
    };
    struct Typing {
        QString text;
        qsizetype typed = 0; // UTF-16 code units already sent
    };
    struct Scroll {
        double dx = 0;
        double dy = 0;
    };
    using Op = std::variant<MoveTo, MoveBy, Button, Scroll, Strokes, Typing>;
    using Clock = std::chrono::steady_clock;

    // A move merges into a move already queued (only the last position matters).
    void queueMove(const Geometry::Point& to);
    void queueMoveBy(double dx, double dy);
    void queueScroll(double pixels, double& carried, std::uint8_t positive, std::uint8_t negative);
    void pump();
    enum class Step { posted, waitForServer, waitForTimer };
    // Posts the queue's first op, or says what it waits for: the server to catch up (an ack) or
    // the retry timer (a spare keycode to come free, the next chunk of a long text).
    Step postFirst();
    // Whether the op is typed with the keyboard's locks and group cleared.
    static bool typedNeutral(const Op& op);
    void movePointer(const Geometry::Point& to);
    void retryWhenSpareFree();
    // The server has handled everything sent before the last ack request.
    void acked();
    void scheduleRestore();

    std::unique_ptr<InputInjector> x_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::optional<Geometry::Rect> frame_;
    std::set<MouseButton> held_;
    std::deque<Op> queue_;
    double scrollX_ = 0;
    double scrollY_ = 0;
    std::optional<Geometry::Point> pointer_;
    Clock::time_point pointerAt_;
    bool movedSinceAck_ = false;
    quint64 coalesced_ = 0;
    QTimer retry_;
    QTimer restore_;
    // Looks again for the server's answer while input waits for it (see pump()).
    QTimer ackWatch_;
};

} // namespace core
