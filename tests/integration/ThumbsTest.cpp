#include "DecodedJpeg.h"
#include "DesktopBackend.h"
#include "FrameSource.h"
#include "Log.h"
#include "Thumbs.h"
#include "XPainter.h"
#include "XServerFixture.h"

#include <gtest/gtest.h>

using namespace core;

namespace {

std::vector<Thumbs::Thumb> captureAll(int width)
{
    return Thumbs::captureAll(*createDesktopBackend()->openFrames(), width);
}

} // namespace

TEST(Thumbs, OnePerDisplayInOrderWithoutThePointer)
{
    XServerFixture x;
    ASSERT_TRUE(x.start({1920, 1080}, {3840, 1080}));
    ASSERT_TRUE(x.addMonitor(QStringLiteral("RIGHT"), QRect(1920, 0, 1280, 1024)));
    XPainter painter;
    painter.rect({0, 0, 1920, 1080}, 0xffffff);
    painter.rect({1920, 0, 1920, 1080}, 0x00ff00);
    painter.movePointer(960, 540);

    // Full width for the first display: no scaling, so a drawn pointer would show.
    const auto thumbs = captureAll(1920);
    ASSERT_EQ(thumbs.size(), 2u);
    EXPECT_EQ(thumbs[0].displayId, x.atom(QStringLiteral("DUMMY0")));
    EXPECT_EQ(thumbs[1].displayId, x.atom(QStringLiteral("RIGHT")));

    const auto main = DecodedJpeg::decode(thumbs[0].jpeg);
    ASSERT_TRUE(main);
    EXPECT_EQ(main->width, 1920);
    EXPECT_EQ(main->height, 1080);
    for (int y = 530; y < 560; y += 3)
        for (int xx = 950; xx < 980; xx += 3)
            ASSERT_TRUE(colourNear(main->at(xx, y), 0xffffff)) << "pointer drawn at " << xx << "," << y;

    const auto right = DecodedJpeg::decode(thumbs[1].jpeg);
    ASSERT_TRUE(right);
    EXPECT_EQ(right->width, 1920);
    EXPECT_EQ(right->height, 1536); // 1920 * 1024 / 1280
    EXPECT_TRUE(colourNear(right->at(960, 768), 0x00ff00));
}

TEST(Thumbs, DisplayThatCannotBeCapturedIsLeftOut)
{
    XServerFixture x;
    ASSERT_TRUE(x.start({1920, 1080}, {2400, 1080}));
    // Sticks out of the 2400-pixel-wide screen: the server refuses to read it.
    ASSERT_TRUE(x.addMonitor(QStringLiteral("BEYOND"), QRect(1920, 0, 1280, 720)));
    const auto thumbs = captureAll(320);
    ASSERT_EQ(thumbs.size(), 1u);
    EXPECT_EQ(thumbs[0].displayId, x.atom(QStringLiteral("DUMMY0")));
}

TEST(Thumbs, UnreadableDisplayGivesNothing)
{
    const QByteArray saved = qgetenv("DISPLAY");
    qputenv("DISPLAY", ":4093");
    EXPECT_THROW(createDesktopBackend()->openFrames(), AgentError);
    qputenv("DISPLAY", saved);
}
