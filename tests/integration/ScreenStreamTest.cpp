#include "Log.h"
#include "MonotonicClock.h"
#include "DesktopBackend.h"
#include "FrameSource.h"
#include "ScreenStream.h"
#include "XPainter.h"
#include "linux/x11/XScreenGrabber.h"
#include "XServerFixture.h"

#include <gtest/gtest.h>

#include <QTest>
#include <QTimer>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <mutex>

using namespace core;

namespace {

struct Yuv {
    int y, u, v;
};

// Full-range BT.601, what the capture produces.
Yuv expected(uint32_t rgb)
{
    const double r = rgb >> 16, g = (rgb >> 8) & 0xff, b = rgb & 0xff;
    return {int(std::lround(0.299 * r + 0.587 * g + 0.114 * b)),
            int(std::lround(128 - 0.168736 * r - 0.331264 * g + 0.5 * b)),
            int(std::lround(128 + 0.5 * r - 0.418688 * g - 0.081312 * b))};
}

Yuv sample(const VideoFrame& f, int x, int y)
{
    const uint8_t* uv = f.uv + size_t(y / 2) * size_t(f.strideUV) + size_t(x / 2) * 2;
    return {f.y[size_t(y) * size_t(f.strideY) + size_t(x)], uv[0], uv[1]};
}

bool looksLike(const VideoFrame& f, int x, int y, uint32_t rgb)
{
    const Yuv got = sample(f, x, y), want = expected(rgb);
    return std::abs(got.y - want.y) <= 4 && std::abs(got.u - want.u) <= 4 && std::abs(got.v - want.v) <= 4;
}

// The root window's cursor has dark pixels near its hot spot; the white square under it has none.
bool pointerAt(const VideoFrame& f, int x, int y)
{
    int dark = 0;
    for (int yy = y - 10; yy < y + 10; ++yy)
        for (int xx = x - 10; xx < x + 10; ++xx)
            dark += f.y[size_t(yy) * size_t(f.strideY) + size_t(xx)] < 100;
    return dark > 4;
}

// Keeps the newest frame; frames arrive on the capture thread.
class FrameSink {
public:
    void attach(ScreenStream& s)
    {
        s.onFrame = [this](VideoFramePtr f) {
            std::lock_guard lock(mutex_);
            last_ = std::move(f);
        };
    }
    VideoFramePtr latest()
    {
        std::lock_guard lock(mutex_);
        return last_;
    }
    bool waitFor(const std::function<bool(const VideoFrame&)>& test)
    {
        return QTest::qWaitFor([&] {
            const VideoFramePtr f = latest();
            return f && test(*f);
        }, 10000);
    }

private:
    std::mutex mutex_;
    VideoFramePtr last_;
};

constexpr uint32_t kRed = 0xff0000, kGreen = 0x00ff00, kBlue = 0x0000ff, kWhite = 0xffffff, kYellow = 0xffff00,
                   kGrey = 0x808080;

// DUMMY0: 2880x1800 at the origin, primary; SIDE: 1920x1080 to its right. A pattern of four
// squares on DUMMY0 and a yellow one on SIDE; the pointer parked in a corner of DUMMY0.
class ScreenStreamTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(x.start({2880, 1800}, {4800, 1800}));
        ASSERT_TRUE(x.addMonitor(QStringLiteral("SIDE"), QRect(2880, 0, 1920, 1080)));
        main.id = x.atom(QStringLiteral("DUMMY0"));
        side.id = x.atom(QStringLiteral("SIDE"));
        painter = std::make_unique<XPainter>();
        ASSERT_TRUE(painter->connected());
        painter->rect({100, 100, 200, 200}, kRed);
        painter->rect({400, 100, 200, 200}, kGreen);
        painter->rect({100, 400, 200, 200}, kBlue);
        painter->rect({400, 400, 200, 200}, kWhite);
        painter->rect({2880 + 50, 50, 300, 300}, kYellow);
        painter->movePointer(2870, 1790);
        sink.attach(stream);
        stream.onStop = [this](const QString& reason) { stops.push_back(reason); };
    }

    XServerFixture x;
    std::unique_ptr<XPainter> painter;
    DisplayInfo main, side; // the ids are enough: the capture reads the layout itself
    FrameSink sink;
    std::vector<QString> stops;
    // Frames are opened at each start, on the display the fixture made.
    const std::unique_ptr<DesktopBackend> desktop = createDesktopBackend();
    ScreenStream stream{*desktop}; // last: it stops before what its callbacks use goes away
};

} // namespace

TEST_F(ScreenStreamTest, ASeeThroughPointerIsBlendedChannelByChannel)
{
    painter->rect({700, 100, 100, 100}, 0x9040f0);
    ASSERT_TRUE(painter->cursorOver({700, 100, 100, 100}, 0x80402010)); // half opacity, premultiplied
    painter->movePointer(720, 120);
    QString error;
    const auto grabber = x11::ScreenGrabber::open(&error);
    ASSERT_TRUE(grabber) << error.toStdString();
    const BgrxImage* image = grabber->grab({700, 100, 100, 100}, true);
    ASSERT_TRUE(image);
    const uint8_t* px = image->data + 25 * image->stride + 25 * 4;
    // Each channel is the pointer's own plus 127/255 of the same channel under it (blue, green, red).
    EXPECT_EQ((std::array<int, 3>{px[0], px[1], px[2]}), (std::array<int, 3>{0x10 + 119, 0x20 + 31, 0x40 + 71}));
}

TEST_F(ScreenStreamTest, FramePixelsMatchWhatAClientDrew)
{
    stream.start(main, 0, 30);
    EXPECT_EQ(stream.frameSize(), QSize(2880, 1800));
    ASSERT_TRUE(sink.waitFor([](const VideoFrame& f) { return f.width == 2880 && looksLike(f, 200, 200, kRed); }));
    const VideoFramePtr f = sink.latest();
    EXPECT_EQ(f->height, 1800);
    EXPECT_TRUE(looksLike(*f, 500, 200, kGreen));
    EXPECT_TRUE(looksLike(*f, 200, 500, kBlue));
    EXPECT_TRUE(looksLike(*f, 500, 500, kWhite));
    // Edges land on the right pixels: the red square spans 100..299.
    EXPECT_TRUE(looksLike(*f, 100, 100, kRed));
    EXPECT_TRUE(looksLike(*f, 298, 298, kRed));
    EXPECT_FALSE(looksLike(*f, 302, 200, kRed));
    EXPECT_GT(f->timestampNs, 0);
}

TEST_F(ScreenStreamTest, PointerIsDrawnIn)
{
    painter->movePointer(500, 500); // over the white square
    stream.start(main, 0, 30);
    ASSERT_TRUE(sink.waitFor([](const VideoFrame& f) { return looksLike(f, 550, 550, kWhite); }));
    EXPECT_TRUE(pointerAt(*sink.latest(), 500, 500));
}

TEST_F(ScreenStreamTest, PointerMovedOverAStillScreenShowsInALaterFrame)
{
    stream.start(main, 0, 30);
    ASSERT_TRUE(sink.waitFor([](const VideoFrame& f) { return looksLike(f, 550, 550, kWhite); }));
    ASSERT_FALSE(pointerAt(*sink.latest(), 500, 500));
    // Nothing is drawn: only the pointer's move can bring a new frame.
    painter->movePointer(500, 500);
    EXPECT_TRUE(sink.waitFor([](const VideoFrame& f) { return pointerAt(f, 500, 500); }));
}

// A frame in which only the pointer moved is made from the one before it: the pointer shows at
// its new place and the screen as it was at the old one, at full size and scaled, near the
// display's edge and when it leaves the display.
TEST_F(ScreenStreamTest, PointerMovedAloneShowsOnlyAtItsNewPlace)
{
    painter->rect({2780, 1700, 100, 100}, kWhite);
    // Over both white squares the pointer is a black 16x16 square, hot spot top left.
    ASSERT_TRUE(painter->cursorOver({400, 400, 200, 200}, 0xff000000));
    ASSERT_TRUE(painter->cursorOver({2780, 1700, 100, 100}, 0xff000000));
    const struct {
        int maxEdge;
        QPoint from, to;
    } moves[] = {
        {0, {420, 420}, {560, 560}},
        {0, {560, 560}, {566, 566}},     // onto part of where it was
        {0, {2790, 1710}, {2872, 1760}}, // half out of the display
        {0, {2872, 1760}, {3000, 500}},  // onto the other display
        {1280, {420, 420}, {560, 560}},
    };
    for (const auto& m : moves) {
        SCOPED_TRACE(testing::Message() << m.maxEdge << ": " << m.from.x() << "," << m.from.y() << " -> " << m.to.x()
                                        << "," << m.to.y());
        painter->movePointer(m.from.x(), m.from.y());
        // Stopped first, so that every frame from now on is of the new capture: its first frame can
        // be made before start() returns, and with the pointer already in place nothing brings another.
        stream.stop();
        const int64_t started = monotonicNs();
        stream.start(main, m.maxEdge, 30);
        const int width = stream.frameSize().width();
        // A point of the screen in the frame's pixels.
        const auto at = [width](QPoint p) { return p * width / 2880; };
        const auto black = [&](const VideoFrame& f, QPoint p) {
            const QPoint q = at(p);
            return q.x() < f.width && f.y[size_t(q.y()) * size_t(f.strideY) + size_t(q.x())] < 40;
        };
        // A frame of the new settings (a full capture) shows the pointer before it moves.
        ASSERT_TRUE(sink.waitFor([&](const VideoFrame& f) {
            return f.timestampNs > started && f.width == width && black(f, m.from + QPoint(3, 3));
        }));
        painter->movePointer(m.to.x(), m.to.y());
        const bool toInside = m.to.x() < 2880;
        EXPECT_TRUE(sink.waitFor([&](const VideoFrame& f) {
            const QPoint old = at(m.from + QPoint(3, 3));
            return looksLike(f, old.x(), old.y(), kWhite) && (!toInside || black(f, m.to + QPoint(6, 6)));
        }));
    }
}

// A still desktop costs nothing: the source says when something changed, and a wait for that ends
// as soon as the capture is stopped or re-targeted.
TEST_F(ScreenStreamTest, XSourceReportsChangesAsEventsAndItsWaitEndsOnWake)
{
    const std::unique_ptr<FrameSource> source = desktop->openFrames();
    source->watch();
    EXPECT_TRUE(source->changesAreEvents());
    const auto began = std::chrono::steady_clock::now();
    source->wake();
    source->waitForChange(began + std::chrono::minutes(1));
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(30));
}

TEST_F(ScreenStreamTest, MaxEdgeScales2880x1800To1280x800)
{
    stream.start(main, 1280, 30);
    EXPECT_EQ(stream.frameSize(), QSize(1280, 800));
    ASSERT_TRUE(sink.waitFor([](const VideoFrame& f) { return f.width == 1280; }));
    const VideoFramePtr f = sink.latest();
    EXPECT_EQ(f->height, 800);
    // 4/9 of the original coordinates.
    EXPECT_TRUE(looksLike(*f, 89, 89, kRed));
    EXPECT_TRUE(looksLike(*f, 222, 89, kGreen));
    EXPECT_TRUE(looksLike(*f, 89, 222, kBlue));
}

TEST_F(ScreenStreamTest, RetargetsToTheSecondMonitorInPlace)
{
    stream.start(main, 0, 30);
    ASSERT_TRUE(sink.waitFor([](const VideoFrame& f) { return f.width == 2880; }));
    stream.start(side, 0, 30);
    EXPECT_TRUE(stream.running());
    EXPECT_EQ(stream.frameSize(), QSize(1920, 1080));
    ASSERT_TRUE(sink.waitFor([](const VideoFrame& f) { return f.width == 1920; }));
    const VideoFramePtr f = sink.latest();
    EXPECT_EQ(f->height, 1080);
    EXPECT_TRUE(looksLike(*f, 200, 200, kYellow));
    EXPECT_FALSE(looksLike(*f, 20, 20, kYellow));

    // And with a new size on the same display.
    stream.start(side, 960, 30);
    ASSERT_TRUE(sink.waitFor([](const VideoFrame& f) { return f.width == 960; }));
    EXPECT_EQ(sink.latest()->height, 540);
    EXPECT_TRUE(stops.empty());
}

DisplayInfo unknown()
{
    DisplayInfo d;
    d.id = 4242;
    return d;
}

TEST_F(ScreenStreamTest, UnknownDisplayFailsAndLeavesTheCaptureAlone)
{
    try {
        stream.start(unknown(), 0, 30);
        FAIL() << "no error";
    } catch (const AgentError& e) {
        EXPECT_EQ(e.description(), QStringLiteral("display 4242 not found"));
    }
    EXPECT_FALSE(stream.running());

    stream.start(side, 0, 30);
    EXPECT_THROW(stream.start(unknown(), 1280, 30), AgentError);
    EXPECT_TRUE(stream.running());
    EXPECT_EQ(stream.frameSize(), QSize(1920, 1080));
}

TEST_F(ScreenStreamTest, StaticScreenGivesNoFramesAnimatedOneKeepsThemFlowing)
{
    stream.start(main, 1280, 60);
    ASSERT_TRUE(sink.waitFor([](const VideoFrame&) { return true; }));
    // Drawing done just before the start may still report once; then the screen is still.
    QTest::qWait(300);
    stream.takeFrameCount();
    // Nothing on the screen changes: no frame at all.
    QTest::qWait(600);
    EXPECT_EQ(stream.takeFrameCount(), 0);
    EXPECT_EQ(stream.takeFrameCount(), 0);

    // Drawing on the other monitor does not count for this one.
    const uint32_t elsewhere = painter->rect({3500, 500, 100, 100}, kGrey);
    // An animated window on this monitor: frames flow.
    const uint32_t blinking = painter->rect({1000, 1000, 300, 300}, kGrey);
    QTimer animate;
    bool on = false;
    QObject::connect(&animate, &QTimer::timeout, [&] {
        on = !on;
        painter->recolour(blinking, on ? kWhite : kGrey);
    });
    animate.start(15);
    int flowing = 0;
    EXPECT_TRUE(QTest::qWaitFor([&] { return (flowing += stream.takeFrameCount()) >= 10; }, 10000)) << flowing;
    animate.stop();

    QTimer other;
    QObject::connect(&other, &QTimer::timeout, [&] {
        on = !on;
        painter->recolour(elsewhere, on ? kWhite : kGrey);
    });
    other.start(15);
    painter->recolour(blinking, kBlue);
    ASSERT_TRUE(sink.waitFor([](const VideoFrame& f) { return looksLike(f, 511, 511, kBlue); }));
    // The blue may be captured before its damage report is read, which then brings one more frame.
    QTest::qWait(300);
    stream.takeFrameCount();
    QTest::qWait(600);
    EXPECT_EQ(stream.takeFrameCount(), 0);
    other.stop();
}

TEST_F(ScreenStreamTest, AnAnimatedScreenGivesNoMoreFramesThanTheRateAsked)
{
    const uint32_t blinking = painter->rect({1000, 1000, 300, 300}, kGrey);
    QTimer animate;
    bool on = false;
    QObject::connect(&animate, &QTimer::timeout, [&] {
        on = !on;
        painter->recolour(blinking, on ? kWhite : kGrey);
    });
    animate.start(15);
    const struct {
        int fps;
        int windowMs;
    } rows[] = {{1, 4000}, {4, 2000}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fps);
        stream.start(main, 1280, row.fps);
        ASSERT_TRUE(sink.waitFor([](const VideoFrame&) { return true; }));
        stream.takeFrameCount();
        // An upper bound only: a loaded machine makes fewer frames, never more. One frame may run an
        // interval ahead of the schedule, and one more falls on the window's edge.
        QTest::qWait(row.windowMs);
        const int frames = stream.takeFrameCount();
        EXPECT_LE(frames, row.windowMs * row.fps / 1000 + 2);
        EXPECT_GE(frames, 1);
        stream.stop();
    }
}

TEST_F(ScreenStreamTest, ConsumerHoldingEveryBufferPausesDelivery)
{
    std::mutex mutex;
    std::vector<VideoFramePtr> held;
    stream.onFrame = [&](VideoFramePtr f) {
        std::lock_guard lock(mutex);
        held.push_back(std::move(f));
    };
    auto count = [&] {
        std::lock_guard lock(mutex);
        return held.size();
    };
    // The callback uses this test's locals: the capture ends before they do.
    const std::unique_ptr<ScreenStream, void (*)(ScreenStream*)> stopAtEnd(&stream, [](ScreenStream* s) { s->stop(); });
    const uint32_t blinking = painter->rect({1000, 1000, 300, 300}, kGrey);
    QTimer animate;
    bool on = false;
    QObject::connect(&animate, &QTimer::timeout, [&] { painter->recolour(blinking, (on = !on) ? kWhite : kGrey); });
    animate.start(15);
    stream.start(main, 640, 60);
    ASSERT_TRUE(QTest::qWaitFor([&] { return count() == 5; }, 10000));
    // Five distinct buffers, and then nothing while all of them are held.
    {
        std::lock_guard lock(mutex);
        for (size_t i = 1; i < held.size(); ++i)
            EXPECT_NE(held[i]->y, held[0]->y);
    }
    QTest::qWait(300);
    EXPECT_EQ(count(), 5u);

    // Giving them back lets frames flow again, in the same storage.
    const uint8_t* first;
    {
        std::lock_guard lock(mutex);
        first = held[0]->y;
        held.clear();
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return count() >= 5; }, 10000));
    std::lock_guard lock(mutex);
    EXPECT_TRUE(std::any_of(held.begin(), held.end(), [&](const VideoFramePtr& f) { return f->y == first; }));
}

// A consumer that still has a frame waiting holds the capture back (nothing is captured only to
// be dropped); the change it missed is captured as soon as the consumer is ready.
TEST_F(ScreenStreamTest, BusyConsumerHoldsTheCaptureBackAndGetsTheOwedFrameAfter)
{
    std::atomic<bool> ready = false;
    std::atomic<int> asked = 0;
    stream.ready = [&] {
        ++asked;
        return ready.load();
    };
    const std::unique_ptr<ScreenStream, void (*)(ScreenStream*)> stopAtEnd(&stream, [](ScreenStream* s) { s->stop(); });
    stream.start(main, 0, 30);
    ASSERT_TRUE(QTest::qWaitFor([&] { return asked > 3; }, 10000));
    EXPECT_EQ(stream.takeFrameCount(), 0);
    EXPECT_FALSE(sink.latest());
    ready = true;
    EXPECT_TRUE(sink.waitFor([](const VideoFrame& f) { return looksLike(f, 550, 550, kWhite); }));
}

TEST_F(ScreenStreamTest, LosingTheMonitorStopsWithOnStop)
{
    stream.start(side, 0, 30);
    ASSERT_TRUE(sink.waitFor([](const VideoFrame&) { return true; }));
    ASSERT_TRUE(x.deleteMonitor(QStringLiteral("SIDE")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !stops.empty(); }, 10000));
    EXPECT_EQ(stops, std::vector<QString>{QStringLiteral("display disconnected")});
    EXPECT_FALSE(stream.running());
    EXPECT_EQ(stream.frameSize(), QSize());
}

TEST_F(ScreenStreamTest, FollowsItsMonitorWhenItIsResized)
{
    stream.start(main, 0, 30);
    ASSERT_TRUE(sink.waitFor([](const VideoFrame& f) { return f.width == 2880; }));
    ASSERT_TRUE(x.xrandr({QStringLiteral("--output"), QStringLiteral("DUMMY0"), QStringLiteral("--mode"),
                          QStringLiteral("1920x1080")}));
    ASSERT_TRUE(sink.waitFor([](const VideoFrame& f) { return f.width == 1920; }));
    EXPECT_EQ(sink.latest()->height, 1080);
    EXPECT_EQ(stream.frameSize(), QSize(1920, 1080));
    EXPECT_TRUE(looksLike(*sink.latest(), 200, 200, kRed));
    EXPECT_TRUE(stops.empty());
}

TEST_F(ScreenStreamTest, KilledXServerEndsTheCaptureWithOnStop)
{
    stream.start(main, 640, 30);
    ASSERT_TRUE(sink.waitFor([](const VideoFrame&) { return true; }));
    painter.reset();
    x.killServer();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !stops.empty(); }, 10000));
    EXPECT_EQ(stops.size(), 1u);
    EXPECT_FALSE(stream.running());
    stream.stop();
    EXPECT_EQ(stops.size(), 1u);
}

TEST_F(ScreenStreamTest, StopIsIdempotentAndSilent)
{
    stream.stop();
    stream.start(main, 640, 30);
    ASSERT_TRUE(sink.waitFor([](const VideoFrame&) { return true; }));
    stream.stop();
    stream.stop();
    EXPECT_FALSE(stream.running());
    const VideoFramePtr before = sink.latest();
    QCoreApplication::processEvents();
    EXPECT_TRUE(stops.empty());
    EXPECT_EQ(sink.latest(), before); // nothing delivered after stop()
}
