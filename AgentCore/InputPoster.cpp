#include "InputPoster.h"

#include "Threads.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cmath>

namespace core {

namespace {

constexpr std::uint8_t kLeft = 1;
constexpr std::uint8_t kRight = 3;
constexpr std::uint8_t kWheelUp = 4;
constexpr std::uint8_t kWheelDown = 5;
constexpr std::uint8_t kWheelLeft = 6;
constexpr std::uint8_t kWheelRight = 7;
constexpr double kScrollLimit = 10000;
// A pointer position older than this may have been changed by someone else.
constexpr auto kPointerFresh = std::chrono::milliseconds(100);

std::uint8_t xbutton(MouseButton b) { return b == MouseButton::right ? kRight : kLeft; }

std::vector<Keys::KeySym> keysyms(QStringView text)
{
    std::vector<Keys::KeySym> syms;
    for (char32_t cp : text.toUcs4()) {
        if (const std::optional<Keys::KeySym> sym = Keys::keysymFor(cp))
            syms.push_back(*sym);
    }
    return syms;
}

constexpr int kAckWatchMs = 8;

} // namespace

InputPoster::InputPoster(std::unique_ptr<InputInjector> input, QObject* parent)
    : QObject(parent)
    , x_(std::move(input))
{
    retry_.setSingleShot(true);
    restore_.setSingleShot(true);
    ackWatch_.setSingleShot(true);
    connect(&retry_, &QTimer::timeout, this, &InputPoster::pump);
    connect(&ackWatch_, &QTimer::timeout, this, &InputPoster::pump);
    connect(&restore_, &QTimer::timeout, this, &InputPoster::scheduleRestore);
    if (x_) {
        notifier_ = std::make_unique<QSocketNotifier>(x_->fd(), QSocketNotifier::Read);
        connect(notifier_.get(), &QSocketNotifier::activated, this, &InputPoster::pump);
    }
}

InputPoster::~InputPoster() = default; // the injector releases and restores on destruction

void InputPoster::setFrame(std::optional<Geometry::Rect> frame)
{
    assertOwnThread(this);
    frame_ = frame;
    if (!frame_)
        releaseAll();
}

void InputPoster::setFrame(const DisplayInfo& display)
{
    setFrame(Geometry::pixelFrame(display));
}

void InputPoster::receive(const QByteArray& bytes)
{
    assertOwnThread(this);
    if (const std::optional<InputEvent> event = InputEvent::tryDecode(bytes))
        post(*event);
}

void InputPoster::post(const InputEvent& event)
{
    assertOwnThread(this);
    if (!frame_ || !x_)
        return;
    const Geometry::Rect frame = *frame_;
    std::visit(
        [&](const auto& e) {
            using E = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<E, input::Move>) {
                queueMove(Geometry::toGlobal(e.x, e.y, frame));
            } else if constexpr (std::is_same_v<E, input::MoveBy>) {
                queueMoveBy(e.dx, e.dy);
            } else if constexpr (std::is_same_v<E, input::Down>) {
                held_.insert(e.button);
                queue_.push_back(Button{xbutton(e.button), true});
            } else if constexpr (std::is_same_v<E, input::Up>) {
                held_.erase(e.button);
                queue_.push_back(Button{xbutton(e.button), false});
            } else if constexpr (std::is_same_v<E, input::Click>) {
                // X clients count clicks themselves, from presses close together in time and
                // place: a double click is two presses back to back where the pointer is.
                for (int i = 0; i < e.count; ++i) {
                    queue_.push_back(Button{xbutton(e.button), true});
                    queue_.push_back(Button{xbutton(e.button), false});
                }
            } else if constexpr (std::is_same_v<E, input::Scroll>) {
                if (x_->smoothScroll()) {
                    queue_.push_back(Scroll{std::clamp(e.dx, -kScrollLimit, kScrollLimit), std::clamp(e.dy, -kScrollLimit, kScrollLimit)});
                } else {
                    queueScroll(e.dy, scrollY_, kWheelUp, kWheelDown);
                    queueScroll(e.dx, scrollX_, kWheelLeft, kWheelRight);
                }
            } else if constexpr (std::is_same_v<E, input::Text>) {
                if (!e.s.isEmpty())
                    queue_.push_back(Typing{e.s, 0});
            } else if constexpr (std::is_same_v<E, input::Key>) {
                if (const std::optional<Keys::KeySym> sym = Keys::keysym(e.code))
                    queue_.push_back(Strokes{Keys::stroke(*sym, e.mods)});
            }
        },
        event.value);
    // A move merged into one that waits for the server sends nothing new; pumping then only
    // looks for the server's answer, which may already sit in the connection's buffer.
    pump();
}

void InputPoster::queueMove(const Geometry::Point& to)
{
    if (!queue_.empty() && (std::holds_alternative<MoveTo>(queue_.back()) || std::holds_alternative<MoveBy>(queue_.back()))) {
        queue_.back() = MoveTo{to};
        ++coalesced_;
        return;
    }
    queue_.push_back(MoveTo{to});
}

void InputPoster::queueMoveBy(double dx, double dy)
{
    if (!queue_.empty()) {
        if (auto* last = std::get_if<MoveTo>(&queue_.back())) {
            last->to = Geometry::moveBy(last->to, dx, dy, *frame_);
            ++coalesced_;
            return;
        }
        if (auto* last = std::get_if<MoveBy>(&queue_.back()); last && last->within == *frame_) {
            last->dx += dx;
            last->dy += dy;
            ++coalesced_;
            return;
        }
    }
    queue_.push_back(MoveBy{dx, dy, *frame_});
}

void InputPoster::queueScroll(double pixels, double& carried, std::uint8_t positive, std::uint8_t negative)
{
    const double whole = std::trunc(std::clamp(pixels, -kScrollLimit, kScrollLimit));
    carried += whole;
    const long clicks = std::lround(std::trunc(carried / kPixelsPerClick));
    carried -= static_cast<double>(clicks) * kPixelsPerClick;
    const std::uint8_t b = clicks > 0 ? positive : negative;
    for (long i = 0; i < std::labs(clicks); ++i) {
        queue_.push_back(Button{b, true});
        queue_.push_back(Button{b, false});
    }
}

void InputPoster::pump()
{
    if (!x_)
        return;
    if (x_->pollAck())
        acked();
    for (;;) {
        bool sent = false;
        Step step = Step::posted;
        while (!queue_.empty() && (step = postFirst()) == Step::posted)
            sent = true;
        const bool waitingForServer = !queue_.empty() && step == Step::waitForServer;
        if ((sent || waitingForServer) && !x_->ackPending()) {
            x_->requestAck();
            movedSinceAck_ = false;
        }
        x_->flush();
        // The answer may already sit in the connection's buffer, where the notifier cannot see it.
        if (!waitingForServer || !x_->pollAck())
            break;
        acked();
    }
    // WORKAROUND: xcb reads replies into its own buffer while it writes, and a reply taken that
    // way never wakes the socket notifier; while input waits for one, look again shortly.
    if (((!queue_.empty() && x_->ackPending()) || x_->restorePending()) && !ackWatch_.isActive())
        ackWatch_.start(kAckWatchMs);
    if (x_->remapped() && !restore_.isActive())
        restore_.start(InputInjector::kHold * 2);
}

InputPoster::Step InputPoster::postFirst()
{
    Op& op = queue_.front();
    if (auto* m = std::get_if<MoveTo>(&op)) {
        // The last move waits while the server is behind, so that later ones can merge into it.
        if (x_->ackPending() && queue_.size() == 1)
            return Step::waitForServer;
        movePointer(m->to);
    } else if (auto* m = std::get_if<MoveBy>(&op)) {
        if (x_->ackPending())
            return Step::waitForServer;
        if (!pointer_ || Clock::now() - pointerAt_ > kPointerFresh) {
            // Where the pointer is now: the answer to a fresh round trip.
            pointer_.reset();
            return Step::waitForServer;
        }
        movePointer(Geometry::moveBy(*pointer_, m->dx, m->dy, m->within));
    } else if (auto* b = std::get_if<Button>(&op)) {
        x_->button(b->xbutton, b->press);
    } else if (auto* sc = std::get_if<Scroll>(&op)) {
        x_->scroll(sc->dx, sc->dy);
    } else if (auto* s = std::get_if<Strokes>(&op)) {
        const bool neutral = typedNeutral(op);
        if (!neutral) {
            // A stroke of Caps Lock or a group switch changes the desktop's own state, so it must
            // not be undone by putting back what was there before.
            x_->endNeutral();
            if (x_->neutral())
                return Step::waitForServer;
        }
        std::vector<Keys::KeySym> syms;
        for (const Keys::Step& step : s->steps)
            syms.push_back(step.keysym);
        if (!x_->prepare(syms, Clock::now(), false)) {
            retryWhenSpareFree();
            return Step::waitForTimer;
        }
        if (neutral)
            x_->beginNeutral();
        for (const Keys::Step& step : s->steps)
            x_->key(step.keysym, step.press);
    } else if (auto* t = std::get_if<Typing>(&op)) {
        const int units = std::min<int>(16, std::max<int>(1, static_cast<int>(x_->spareCount())));
        const QStringView chunk = QStringView(t->text).mid(t->typed, Keys::chunkLength(t->text, t->typed, units));
        const std::vector<Keys::KeySym> syms = keysyms(chunk);
        if (!x_->prepare(syms, Clock::now(), true)) {
            retryWhenSpareFree();
            return Step::waitForTimer;
        }
        x_->beginNeutral();
        for (Keys::KeySym sym : syms)
            x_->type(sym);
        t->typed += chunk.size();
        if (t->typed < t->text.size()) {
            // Long texts go chunk by chunk through the event loop, so nothing else starves.
            x_->flush();
            retry_.start(0);
            return Step::waitForTimer;
        }
    }
    queue_.pop_front();
    if (queue_.empty() || !typedNeutral(queue_.front()))
        x_->endNeutral();
    return Step::posted;
}

bool InputPoster::typedNeutral(const Op& op)
{
    if (std::holds_alternative<Typing>(op))
        return true;
    const auto* s = std::get_if<Strokes>(&op);
    return s && std::none_of(s->steps.begin(), s->steps.end(),
                             [](const Keys::Step& k) { return Keys::changesLocks(k.keysym); });
}

void InputPoster::retryWhenSpareFree()
{
    const Clock::time_point now = Clock::now();
    retry_.start(std::chrono::ceil<std::chrono::milliseconds>(x_->nextSpareFree(now).value_or(now) - now));
}

void InputPoster::movePointer(const Geometry::Point& to)
{
    // X positions are whole pixels; rounding down keeps a clamped point inside the frame.
    const Geometry::Point pixel{std::floor(to.x), std::floor(to.y)};
    x_->moveTo(static_cast<int>(pixel.x), static_cast<int>(pixel.y));
    pointer_ = pixel;
    pointerAt_ = Clock::now();
    if (x_->ackPending())
        movedSinceAck_ = true;
}

void InputPoster::acked()
{
    if (!movedSinceAck_ && x_->ackedPointer()) {
        pointer_ = Geometry::Point{double(x_->ackedPointer()->x()), double(x_->ackedPointer()->y())};
        pointerAt_ = Clock::now();
    }
    movedSinceAck_ = false;
}

void InputPoster::scheduleRestore()
{
    if (!x_)
        return;
    x_->restoreIdle(Clock::now());
    if (x_->remapped())
        restore_.start(InputInjector::kHold);
}

void InputPoster::releaseAll()
{
    assertOwnThread(this);
    queue_.clear();
    held_.clear();
    scrollX_ = 0;
    scrollY_ = 0;
    retry_.stop();
    if (!x_)
        return;
    x_->releaseAll();
    if (x_->restorePending() && !ackWatch_.isActive())
        ackWatch_.start(kAckWatchMs);
}

} // namespace core
