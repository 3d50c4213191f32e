// Input latency on the X display: from InputPoster::post to the event's arrival at an X client,
// p50/p99 over 1000 pointer moves and 1000 clicks; the time one burst of 1000 moves takes to post;
// and the pointer moves per second sustained when the phone sends faster than X takes them; the
// main thread's CPU time for typing a long text and the longest turn of its event loop meanwhile.
// Run on an X display: scripts/with-x build/bench/input_latency
#include "DesktopBackend.h"
#include "InputPoster.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <vector>

using namespace core;

namespace {

struct Disconnect {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};

// A full-screen window that hands every pointer event to `onEvent`.
class Receiver {
public:
    std::function<void(std::uint8_t type, int x, int y, int detail)> onEvent;

    Receiver()
    {
        int n = 0;
        c_.reset(xcb_connect(nullptr, &n));
        xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c_.get()));
        for (int i = 0; i < n && it.rem; ++i)
            xcb_screen_next(&it);
        screen_ = it.data;
        const xcb_window_t w = xcb_generate_id(c_.get());
        const std::uint32_t values[] = {1, XCB_EVENT_MASK_POINTER_MOTION | XCB_EVENT_MASK_BUTTON_PRESS
                                               | XCB_EVENT_MASK_BUTTON_RELEASE | XCB_EVENT_MASK_STRUCTURE_NOTIFY};
        xcb_create_window(c_.get(), XCB_COPY_FROM_PARENT, w, screen_->root, 0, 0, screen_->width_in_pixels,
                          screen_->height_in_pixels, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual,
                          XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
        xcb_map_window(c_.get(), w);
        xcb_flush(c_.get());
        while (xcb_generic_event_t* e = xcb_wait_for_event(c_.get())) {
            const bool mapped = (e->response_type & 0x7f) == XCB_MAP_NOTIFY;
            std::free(e);
            if (mapped)
                break;
        }
        notifier_ = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(c_.get()), QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { read(); });
    }

    int width() const { return screen_->width_in_pixels; }
    int height() const { return screen_->height_in_pixels; }

    void read()
    {
        while (xcb_generic_event_t* e = xcb_poll_for_event(c_.get())) {
            const std::uint8_t type = e->response_type & 0x7f;
            if (type == XCB_MOTION_NOTIFY) {
                const auto* m = reinterpret_cast<xcb_motion_notify_event_t*>(e);
                if (onEvent)
                    onEvent(type, m->root_x, m->root_y, 0);
            } else if (type == XCB_BUTTON_PRESS || type == XCB_BUTTON_RELEASE) {
                const auto* b = reinterpret_cast<xcb_button_press_event_t*>(e);
                if (onEvent)
                    onEvent(type, b->root_x, b->root_y, b->detail);
            }
            std::free(e);
        }
    }

private:
    std::unique_ptr<xcb_connection_t, Disconnect> c_;
    xcb_screen_t* screen_ = nullptr;
    std::unique_ptr<QSocketNotifier> notifier_;
};

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

InputEvent moveTo(const Receiver& r, int x, int y)
{
    return {input::Move{(x + 0.5) / r.width(), (y + 0.5) / r.height()}};
}

// Posts `count` events one after the other, each once the previous one has arrived.
std::vector<double> roundTrips(Receiver& r, InputPoster& poster, int count,
                               const std::function<InputEvent(int)>& event,
                               const std::function<bool(int, std::uint8_t, int, int, int)>& arrived)
{
    std::vector<double> ms;
    QElapsedTimer clock;
    int i = 0;
    QEventLoop loop;
    auto next = [&] {
        if (i == count) {
            loop.quit();
            return;
        }
        clock.start();
        poster.post(event(i));
    };
    r.onEvent = [&](std::uint8_t type, int x, int y, int detail) {
        if (i < count && arrived(i, type, x, y, detail)) {
            ms.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
            ++i;
            QTimer::singleShot(0, next);
        }
    };
    QTimer::singleShot(0, next);
    loop.exec();
    r.onEvent = nullptr;
    return ms;
}

double threadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Types `length` characters in one text message; prints the main thread's CPU time until all of
// it is sent and the longest the event loop went without a turn.
void typeLongText(InputPoster& poster, int length)
{
    QString text;
    text.reserve(length);
    for (int i = 0; i < length; ++i)
        text += QChar(u'a' + i % 26);
    const double cpu = threadCpuMs();
    QElapsedTimer wall;
    wall.start();
    poster.post({input::Text{text}});
    QElapsedTimer sinceTurn;
    sinceTurn.start();
    qint64 longestTurnNs = 0;
    QEventLoop loop;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longestTurnNs = std::max(longestTurnNs, sinceTurn.nsecsElapsed());
        sinceTurn.start();
        if (poster.idle())
            loop.quit();
    });
    tick.start(0);
    loop.exec();
    std::printf("text of %d characters: %.0f ms main-thread CPU, %.0f ms wall, longest event-loop turn %.1f ms\n",
                length, threadCpuMs() - cpu, static_cast<double>(wall.elapsed()),
                static_cast<double>(longestTurnNs) / 1e6);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "input_latency: needs an X display (scripts/with-x)\n");
        return 1;
    }
    Receiver r;
    const std::unique_ptr<DesktopBackend> desktop = createDesktopBackend();
    InputPoster poster(desktop->openInput());
    poster.setFrame(Geometry::Rect{0, 0, double(r.width()), double(r.height())});

    const int n = 1000;
    const auto moves = roundTrips(
        r, poster, n, [&](int i) { return moveTo(r, 100 + i % 800, 100 + i / 800); },
        [](int i, std::uint8_t type, int x, int y, int) {
            return type == XCB_MOTION_NOTIFY && x == 100 + i % 800 && y == 100 + i / 800;
        });
    std::printf("move  post->arrival over %d: p50 %.3f ms  p99 %.3f ms\n", n, percentile(moves, 0.5),
                percentile(moves, 0.99));

    const auto clicks = roundTrips(
        r, poster, n, [](int) { return InputEvent{input::Click{MouseButton::left, 1}}; },
        [](int, std::uint8_t type, int, int, int detail) { return type == XCB_BUTTON_RELEASE && detail == 1; });
    std::printf("click post->release arrival over %d: p50 %.3f ms  p99 %.3f ms\n", n, percentile(clicks, 0.5),
                percentile(clicks, 0.99));

    // One burst of 1000 moves handed over at once, as a backlog of data-channel messages would be.
    QElapsedTimer burst;
    burst.start();
    for (int i = 0; i < n; ++i)
        poster.post(moveTo(r, 200 + i % 1000, 300));
    const double burstMs = static_cast<double>(burst.nsecsElapsed()) / 1e6;
    std::printf("burst of %d moves posted in %.3f ms (one frame at 60 Hz is 16.7 ms); %llu merged\n", n, burstMs,
                static_cast<unsigned long long>(poster.coalesced()));

    // Sustained: a new move on every turn of the event loop for two seconds.
    quint64 posted = 0;
    quint64 arrived = 0;
    const quint64 mergedBefore = poster.coalesced();
    r.onEvent = [&](std::uint8_t type, int, int, int) { arrived += type == XCB_MOTION_NOTIFY; };
    QElapsedTimer run;
    run.start();
    QTimer pump;
    QObject::connect(&pump, &QTimer::timeout, [&] {
        for (int k = 0; k < 10; ++k) {
            poster.post(moveTo(r, static_cast<int>(posted % 1500), static_cast<int>(posted / 1500 % 1000)));
            ++posted;
        }
        if (run.elapsed() >= 2000)
            QCoreApplication::quit();
    });
    pump.start(0);
    app.exec();
    const double seconds = static_cast<double>(run.nsecsElapsed()) / 1e9;
    std::printf("sustained: %.0f moves/s sent by the phone, %.0f moves/s reached the client, %llu merged\n",
                static_cast<double>(posted) / seconds, static_cast<double>(arrived) / seconds,
                static_cast<unsigned long long>(poster.coalesced() - mergedBefore));

    for (int length : {64 * 1024, 256 * 1024})
        typeLongText(poster, length);
    return 0;
}
