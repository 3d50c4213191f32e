#include "ClipboardWatcher.h"
#include "DisplaySource.h"
#include "InputInjector.h"
#include "Keys.h"
#include "MutterSession.h"
#include "ScreenStream.h"
#include "StderrOf.h"
#include "linux/mutter/MutterDesktop.h"
#include "linux/mutter/MutterMonitors.h"

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryFile>

#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <unistd.h>

using namespace core;
using Clock = std::chrono::steady_clock;

namespace {

// Far beyond what a loaded two-core machine needs; the waits end at the event.
constexpr auto kLimit = std::chrono::seconds(30);
constexpr InputInjector::KeySym kShiftL = 0xffe1;

class GnomeDesktop : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(session.error(), QString());
        desktop = std::make_unique<mutter::Desktop>(session.bus());
    }

    // Starts the painting client and waits for its first drawing; false when it drew nothing.
    bool startPainter(const char* colour)
    {
        session.startClient(painter, QStringLiteral(WAYLAND_PAINTER), {QString::fromLatin1(colour)});
        return nextLine().startsWith("drawn");
    }

    // The client's next line; empty when none came within the limit.
    QByteArray nextLine()
    {
        const auto until = Clock::now() + kLimit;
        while (!painter.canReadLine() && Clock::now() < until && painter.state() != QProcess::NotRunning)
            painter.waitForReadyRead(1000);
        return painter.readLine().trimmed();
    }

    // Headless Mutter has no pointer or keyboard until a session's virtual ones appear, and the
    // client binds them only then: what comes before is lost. A device is poked, one poke at a
    // time, until the client hears it.
    bool untilHeard(InputInjector& input, const std::function<void(int)>& poke, const QByteArray& heard)
    {
        const auto until = Clock::now() + kLimit;
        for (int i = 0; Clock::now() < until; ++i) {
            poke(i);
            input.sync();
            const auto wait = Clock::now() + std::chrono::seconds(2);
            while (!painter.canReadLine() && Clock::now() < wait && painter.state() != QProcess::NotRunning)
                painter.waitForReadyRead(500);
            while (painter.canReadLine()) {
                if (painter.readLine().startsWith(heard))
                    return true;
            }
        }
        return false;
    }

    // Reads the client's lines until `want`; the last line read, empty when `want` never came.
    QByteArray lineUntil(const QByteArray& want)
    {
        for (QByteArray line = nextLine();; line = nextLine())
            if (line.isEmpty() || line == want)
                return line;
    }

    // Runs `job` on the clipboard thread and waits for it.
    template <typename F>
    auto onClipboard(F job)
    {
        std::promise<decltype(job())> done;
        auto result = done.get_future();
        desktop->clipboard().post([&] {
            if constexpr (std::is_void_v<decltype(job())>) {
                job();
                done.set_value();
            } else {
                done.set_value(job());
            }
        });
        EXPECT_EQ(result.wait_for(kLimit), std::future_status::ready);
        return result.get();
    }

    void TearDown() override
    {
        desktop.reset();
        painter.kill();
        painter.waitForFinished(5000);
    }

    MutterSession session;
    std::unique_ptr<mutter::Desktop> desktop;
    QProcess painter;
};

} // namespace

TEST_F(GnomeDesktop, DisplaysComeFromMutterAndFollowItsChanges)
{
    const std::vector<DisplayInfo> before = desktop->displays().current();
    ASSERT_EQ(before.size(), 1u);
    EXPECT_EQ(before[0].id, mutter::connectorId(QStringLiteral("Meta-0")));
    EXPECT_EQ(before[0].width, 1920);
    EXPECT_EQ(before[0].height, 1080);
    EXPECT_EQ(before[0].scale, 1);
    EXPECT_TRUE(before[0].isMain);

    const struct {
        const char* name;
        const char* scaleText;
        int transform;
        double width, height, scale;
    } rows[] = {
        {"scaled twice", "2.0", 0, 960, 540, 2},
        {"turned a quarter", "1.0", 1, 1080, 1920, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const QString state = session.gdbusCall({QStringLiteral("--dest"), QStringLiteral("org.gnome.Mutter.DisplayConfig"),
                                                 QStringLiteral("--object-path"), QStringLiteral("/org/gnome/Mutter/DisplayConfig"),
                                                 QStringLiteral("--method"),
                                                 QStringLiteral("org.gnome.Mutter.DisplayConfig.GetCurrentState")});
        const QString serial = QRegularExpression(QStringLiteral("^\\(uint32 (\\d+)")).match(state).captured(1);
        ASSERT_FALSE(serial.isEmpty()) << state.toStdString();
        QSignalSpy changed(&desktop->displays(), &DisplaySource::changed);
        session.gdbusCall({QStringLiteral("--dest"), QStringLiteral("org.gnome.Mutter.DisplayConfig"), QStringLiteral("--object-path"),
                           QStringLiteral("/org/gnome/Mutter/DisplayConfig"), QStringLiteral("--method"),
                           QStringLiteral("org.gnome.Mutter.DisplayConfig.ApplyMonitorsConfig"), serial, QStringLiteral("1"),
                           QStringLiteral("[(0, 0, %1, uint32 %2, true, [('Meta-0', '1920x1080@60.000', @a{sv} {})])]")
                               .arg(QLatin1String(row.scaleText)).arg(row.transform),
                           QStringLiteral("@a{sv} {}")});
        ASSERT_EQ(session.error(), QString());
        ASSERT_TRUE(changed.wait(int(std::chrono::milliseconds(kLimit).count())));

        const std::vector<DisplayInfo> after = desktop->displays().current();
        ASSERT_EQ(after.size(), 1u);
        EXPECT_EQ(after[0].id, before[0].id);
        EXPECT_EQ(after[0].scale, row.scale);
        EXPECT_EQ(after[0].width, row.width);
        EXPECT_EQ(after[0].height, row.height);
        EXPECT_TRUE(after[0].isMain);
    }
}

TEST_F(GnomeDesktop, CaptureShowsWhatAWaylandClientDrew)
{
    ASSERT_TRUE(startPainter("#ff0000")) << "the Wayland client drew nothing";

    // Full-range BT.601 luma of pure red, read away from the middle, where the pointer is drawn
    // in. The client may take the whole screen a frame or two after its first drawing, so frames
    // are taken until one shows it.
    constexpr int kRedLuma = 77;
    std::mutex mutex;
    std::condition_variable arrived;
    VideoFramePtr red;
    int frames = 0;
    ScreenStream stream(*desktop);
    stream.onFrame = [&](VideoFramePtr f) {
        std::lock_guard lock(mutex);
        ++frames;
        if (f->width == 1920 && f->height == 1080 && std::abs(f->y[810 * f->strideY + 480] - kRedLuma) <= 2)
            red = std::move(f);
        arrived.notify_all();
    };
    ASSERT_EQ(desktop->displays().current().size(), 1u);
    stream.start(desktop->displays().current().front(), 0, 30);
    EXPECT_EQ(stream.frameSize(), QSize(1920, 1080));
    {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(arrived.wait_for(lock, kLimit, [&] { return red != nullptr; }))
            << frames << " frames came, none of them showing the client";
    }
    // The stream's statistics split a frame's time into capture and conversion.
    ASSERT_TRUE(red);
    EXPECT_GT(red->convertNs, 0);
    stream.stop();
}

TEST_F(GnomeDesktop, InputReachesAWaylandClient)
{
    ASSERT_TRUE(startPainter("#00ff00")) << "the Wayland client drew nothing";
    const std::unique_ptr<InputInjector> input = desktop->openInput();
    ASSERT_TRUE(input);
    ASSERT_TRUE(untilHeard(*input, [&](int i) { input->moveTo(10 + i, 10); }, "motion"));
    ASSERT_TRUE(untilHeard(*input, [&](int) { input->type(kShiftL); }, "key " + QByteArray::number(int(Qt::Key_Shift))));

    const auto typeText = [&](const char32_t* text) {
        for (; *text; ++text)
            input->type(*Keys::keysymFor(*text));
    };
    const struct {
        const char* name;
        std::function<void()> act;
        const char* want; // the client's lines, "|" between them
        int skipped = 0;  // lines logged for characters the layout lacks
    } rows[] = {
        {"absolute motion", [&] { input->moveTo(300, 200); }, "motion 300 200"},
        {"left press", [&] { input->button(1, true); }, "press 1"},
        {"left release", [&] { input->button(1, false); }, "release 1"},
        {"right press", [&] { input->button(3, true); }, "press 2"},
        {"right released by releaseAll", [&] { input->releaseAll(); }, "release 2"},
        {"wheel click up", [&] { input->button(4, true); }, "wheel 0 120"},
        {"wheel click right", [&] { input->button(7, true); }, "wheel -120 0"},
        {"keysym on the first level", [&] { input->type(0x61); }, "key 65 a"},
        {"keysym on the shifted level", [&] { input->type(0x41); }, "key 65 A"},
        {"keysym of a character", [&] { input->type(0x34); }, "key 52 4"},
        {"smooth scroll up", [&] { input->scroll(0, 30); }, "wheel 0 360"},
        {"smooth scroll left", [&] { input->scroll(30, 0); }, "wheel 360 0"},
        {"character on the layout's third level", [&] { input->type(*Keys::keysymFor(U'\u20ac')); }, "key 8364 \xe2\x82\xac"},
        {"character the layout lacks, between two it has", [&] { typeText(U"a\u0436b"); }, "key 65 a|key 66 b", 1},
        {"the same character again", [&] { typeText(U"a\u0436b"); }, "key 65 a|key 66 b", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const QByteArray logged = stderrOf([&] {
            row.act();
            input->sync();
        });
        EXPECT_EQ(logged.count("no key of the desktop's keyboard layout"), row.skipped) << logged.toStdString();
        for (const QByteArray& want : QByteArray(row.want).split('|')) {
            // The pointer's arrival may be reported in more than one step, and a shifted key comes
            // after Shift's own press.
            QByteArray line = nextLine();
            while ((line.startsWith("motion") && line != want) || line.startsWith("key " + QByteArray::number(int(Qt::Key_Shift))))
                line = nextLine();
            EXPECT_EQ(line.toStdString(), want.toStdString());
        }
    }
}

TEST_F(GnomeDesktop, ClipboardGoesBothWaysWithAWaylandClient)
{
    ASSERT_TRUE(startPainter("#0000ff")) << "the Wayland client drew nothing";
    // A Wayland client takes and sees the clipboard only while it has the keyboard's focus.
    const std::unique_ptr<InputInjector> input = desktop->openInput();
    ASSERT_TRUE(input);
    ASSERT_TRUE(untilHeard(*input, [&](int) { input->type(kShiftL); }, "key " + QByteArray::number(int(Qt::Key_Shift))));
    painter.write("copy before\n");
    ASSERT_EQ(lineUntil("clipboard before"), "clipboard before");

    // The client's copy reaches Mutter some time after the client has printed it.
    const auto read = [&] { return onClipboard([&] { return Clip::read(desktop->clipboard()).value_or(Clip()).bytes; }); };
    for (const auto until = Clock::now() + kLimit; read() != "before" && Clock::now() < until;)
        QThread::msleep(100);
    auto watcher = onClipboard([&] { return std::make_unique<ClipboardWatcher>(desktop->clipboard()); });
    EXPECT_EQ(onClipboard([&] { return watcher->current().value_or(Clip()).bytes; }).toStdString(), "before");

    onClipboard([&] { watcher->set(Clip::text(QStringLiteral("from the phone \u00e9"))); });
    EXPECT_EQ(lineUntil("clipboard from the phone \xc3\xa9"), "clipboard from the phone \xc3\xa9");

    // Our own content must not come back as a change; the client's next copy must, alone.
    const auto pollOnce = [&] {
        return onClipboard([&] {
            QThread::msleep(100); // the poll's own cadence, not a synchronisation
            return watcher->poll();
        });
    };
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(pollOnce());
    painter.write("copy from the desk\n");
    ASSERT_EQ(lineUntil("clipboard from the desk"), "clipboard from the desk");
    std::optional<Clip> reported;
    for (const auto until = Clock::now() + kLimit; !reported && Clock::now() < until;)
        reported = pollOnce();
    ASSERT_TRUE(reported);
    EXPECT_EQ(reported->bytes.toStdString(), "from the desk");
    onClipboard([&] { watcher.reset(); });
}
