#include "DisplaySource.h"
#include "FramePool.h"
#include "FrameSource.h"
#include "MutterSession.h"
#include "linux/mutter/MutterDesktop.h"
#include "linux/mutter/MutterMonitors.h"

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QSignalSpy>

#include <cstdlib>

using namespace core;
using Clock = std::chrono::steady_clock;

namespace {

// Far beyond what a loaded two-core machine needs; the waits end at the event.
constexpr auto kLimit = std::chrono::seconds(30);

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
                       QStringLiteral("[(0, 0, 2.0, uint32 0, true, [('Meta-0', '1920x1080@60.000', @a{sv} {})])]"),
                       QStringLiteral("@a{sv} {}")});
    ASSERT_EQ(session.error(), QString());
    ASSERT_TRUE(changed.wait(int(std::chrono::milliseconds(kLimit).count())));

    const std::vector<DisplayInfo> after = desktop->displays().current();
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].id, before[0].id);
    EXPECT_EQ(after[0].scale, 2);
    EXPECT_EQ(after[0].width, 960);
    EXPECT_EQ(after[0].height, 540);
}

TEST_F(GnomeDesktop, CaptureShowsWhatAWaylandClientDrew)
{
    ASSERT_TRUE(startPainter("#ff0000")) << "the Wayland client drew nothing";

    const std::unique_ptr<FrameSource> source = desktop->openFrames();
    const std::vector<DisplayInfo> displays = source->displays();
    ASSERT_EQ(displays.size(), 1u);
    DisplayInfo display = displays[0];
    EXPECT_EQ(display.width, 1920);
    EXPECT_EQ(display.height, 1080);
    source->watch();

    // Full-range BT.601 luma of pure red, away from the middle, where the pointer is drawn in. The
    // client may take the whole screen a frame or two after its first drawing, so frames are read
    // until one shows it.
    constexpr int kRedLuma = 77;
    Nv12Buffer buffer(1920, 1080);
    const auto until = Clock::now() + kLimit;
    int luma = -1;
    while (Clock::now() < until && std::abs(luma - kRedLuma) > 2) {
        const FrameSource::Result changes = source->update(display);
        ASSERT_NE(changes, FrameSource::Result::sourceLost) << source->lostReason().toStdString();
        ASSERT_NE(changes, FrameSource::Result::displayGone);
        if (changes != FrameSource::Result::ok) {
            source->waitForChange(Clock::now() + std::chrono::seconds(1));
            continue;
        }
        ASSERT_EQ(source->grab(display, buffer), FrameSource::Result::ok);
        luma = buffer.y()[810 * buffer.frame.strideY + 480];
    }
    EXPECT_NEAR(luma, kRedLuma, 2);
}
