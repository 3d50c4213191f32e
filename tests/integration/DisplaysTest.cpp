#include "DesktopBackend.h"
#include "DisplaySource.h"
#include "Geometry.h"
#include "InputPoster.h"
#include "InputProbe.h"
#include "ScreenStream.h"
#include "StderrOf.h"
#include "XServerFixture.h"
#include "linux/x11/XConnection.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryFile>
#include <QTest>

#include <xcb/randr.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <unistd.h>

using namespace core;

namespace {

// A 2880x1800 primary output and a 1920x1080 monitor to its right.
class DisplaysTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(x.start({2880, 1800}, {4800, 1800}));
        ASSERT_TRUE(x.addMonitor(QStringLiteral("SIDE"), QRect(2880, 0, 1920, 1080)));
    }
    XServerFixture x;
};

// The displays as a backend made now sees them.
std::vector<DisplayInfo> listNow()
{
    return createDesktopBackend()->displays().current();
}

bool mergeResources(const QByteArray& text)
{
    QProcess p;
    p.start(QStringLiteral("xrdb"), {QStringLiteral("-merge")});
    p.write(text);
    p.closeWriteChannel();
    return p.waitForFinished(10000) && p.exitCode() == 0;
}

// Gives `output` an EDID whose product name is "Studio 27".
void giveEdidName(const x11::Connection& c, xcb_randr_output_t output)
{
    // The name sits in the last of the four descriptors, which ends two bytes before the checksum.
    uint8_t edid[128] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    const char name[] = "Studio 27\n   ";
    edid[108 + 3] = 0xFC;
    memcpy(edid + 108 + 5, name, 13);
    xcb_randr_change_output_property(c.get(), output, c.atom("EDID"), XCB_ATOM_INTEGER, 8, XCB_PROP_MODE_REPLACE,
                                     sizeof edid, edid);
    free(xcb_get_input_focus_reply(c.get(), xcb_get_input_focus(c.get()), nullptr)); // the change is in
}

} // namespace

TEST_F(DisplaysTest, ListsMonitorsWithBoundsPrimaryAndNames)
{
    const auto list = listNow();
    ASSERT_EQ(list.size(), 2u);

    EXPECT_EQ(list[0].id, x.atom(QStringLiteral("DUMMY0")));
    EXPECT_EQ(list[0].name, QStringLiteral("DUMMY0")); // the dummy outputs carry no EDID
    EXPECT_EQ(list[0].x, 0);
    EXPECT_EQ(list[0].y, 0);
    EXPECT_EQ(list[0].width, 2880);
    EXPECT_EQ(list[0].height, 1800);
    EXPECT_TRUE(list[0].isMain);
    EXPECT_EQ(list[0].scale, 1);

    EXPECT_EQ(list[1].id, x.atom(QStringLiteral("SIDE")));
    EXPECT_NE(list[1].id, 0u);
    EXPECT_EQ(list[1].name, QStringLiteral("SIDE"));
    EXPECT_EQ(list[1].x, 2880);
    EXPECT_EQ(list[1].y, 0);
    EXPECT_EQ(list[1].width, 1920);
    EXPECT_EQ(list[1].height, 1080);
    EXPECT_FALSE(list[1].isMain);
}

TEST_F(DisplaysTest, AnOutputsEdidNamesItsDisplayEveryTime)
{
    const auto c = x11::Connection::open();
    ASSERT_TRUE(c);
    std::unique_ptr<xcb_randr_get_monitors_reply_t, decltype(&free)> monitors(
        xcb_randr_get_monitors_reply(c->get(), xcb_randr_get_monitors(c->get(), c->root(), 1), nullptr), &free);
    ASSERT_TRUE(monitors);
    const xcb_randr_monitor_info_t* primary = xcb_randr_get_monitors_monitors_iterator(monitors.get()).data;
    ASSERT_GT(xcb_randr_monitor_info_outputs_length(primary), 0);
    giveEdidName(*c, xcb_randr_monitor_info_outputs(primary)[0]);

    // Reading the name leaves the property for the next reader.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const auto list = listNow();
        ASSERT_FALSE(list.empty());
        EXPECT_EQ(list[0].name, QStringLiteral("Studio 27"));
    }
}

TEST_F(DisplaysTest, AMonitorOfSeveralOutputsIsNamedByTheOneWithAnEdid)
{
    const auto c = x11::Connection::open();
    ASSERT_TRUE(c);
    std::unique_ptr<xcb_randr_get_monitors_reply_t, decltype(&free)> monitors(
        xcb_randr_get_monitors_reply(c->get(), xcb_randr_get_monitors(c->get(), c->root(), 1), nullptr), &free);
    ASSERT_TRUE(monitors);
    giveEdidName(*c, xcb_randr_monitor_info_outputs(xcb_randr_get_monitors_monitors_iterator(monitors.get()).data)[0]);

    for (const QString& outputs : {QStringLiteral("DUMMY0,DUMMY1"), QStringLiteral("DUMMY1,DUMMY0")}) {
        SCOPED_TRACE(outputs.toStdString());
        ASSERT_TRUE(x.xrandr({QStringLiteral("--setmonitor"), QStringLiteral("WALL"), QStringLiteral("2880/762x1800/476+0+0"),
                              outputs}));
        const auto list = listNow();
        const auto wall = std::find_if(list.begin(), list.end(),
                                       [&](const DisplayInfo& d) { return d.id == x.atom(QStringLiteral("WALL")); });
        ASSERT_NE(wall, list.end());
        EXPECT_EQ(wall->name, QStringLiteral("Studio 27"));
        ASSERT_TRUE(x.deleteMonitor(QStringLiteral("WALL")));
    }
}

TEST_F(DisplaysTest, MirroredMonitorIsListedOnce)
{
    ASSERT_TRUE(x.addMonitor(QStringLiteral("MIRROR"), QRect(2880, 0, 1920, 1080)));
    const auto list = listNow();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].x, 2880);
    EXPECT_NE(list[0].id, list[1].id);
}

// Clients get points (a phone multiplies them by the scale); capture and input work in pixels.
TEST_F(DisplaysTest, ScaledDisplaysAreListedInPointsAndCapturedAndDrivenInPixels)
{
    const struct {
        const char* resources;
        double scale;
        Geometry::Rect primary;
        Geometry::Rect side;
    } rows[] = {
        {"Xft.antialias: 1\nXft.dpi: 144\n", 1.5, {0, 0, 1920, 1200}, {1920, 0, 1280, 720}},
        {"Xft.dpi: 192\n", 2, {0, 0, 1440, 900}, {1440, 0, 960, 540}},
    };
    const std::unique_ptr<DesktopBackend> desktop = createDesktopBackend();
    int changes = 0;
    QObject::connect(&desktop->displays(), &DisplaySource::changed, [&] { ++changes; });
    for (const auto& row : rows) {
        SCOPED_TRACE(row.resources);
        const int before = changes;
        ASSERT_TRUE(mergeResources(row.resources));
        // A new Xft.dpi is a display change of its own: the scale and the points follow it.
        ASSERT_TRUE(QTest::qWaitFor([&] { return changes > before; }, 5000));
        const auto list = desktop->displays().current();
        ASSERT_EQ(list.size(), 2u);
        EXPECT_EQ(list[0].scale, row.scale);
        EXPECT_EQ(list[1].scale, row.scale);
        EXPECT_EQ(Geometry::frame(list[0]), row.primary);
        EXPECT_EQ(Geometry::frame(list[1]), row.side);

        ScreenStream stream(*desktop);
        stream.start(list[1], 0, 30);
        EXPECT_EQ(stream.frameSize(), QSize(1920, 1080));

        InputPoster poster(desktop->openInput());
        poster.setFrame(list[1]);
        EXPECT_EQ(poster.frame(), (Geometry::Rect{2880, 0, 1920, 1080}));
    }
}

TEST_F(DisplaysTest, BurstOfChangesGivesOneNotice)
{
    const std::unique_ptr<DesktopBackend> desktop = createDesktopBackend();
    int calls = 0;
    QObject::connect(&desktop->displays(), &DisplaySource::changed, [&] { ++calls; });
    // Two monitors in one xrandr run: several server events, one notice.
    ASSERT_TRUE(x.xrandr(XServerFixture::setMonitorArgs(QStringLiteral("THIRD"), QRect(2880, 1080, 640, 480))
                         + XServerFixture::setMonitorArgs(QStringLiteral("FOURTH"), QRect(3520, 1080, 640, 480))));
    ASSERT_TRUE(QTest::qWaitFor([&] { return calls > 0; }, 5000));
    // Nothing more follows the single debounced call.
    QTest::qWait(1000);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(desktop->displays().current().size(), 4u);

    ASSERT_TRUE(x.deleteMonitor(QStringLiteral("FOURTH")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return calls == 2; }, 5000));
    EXPECT_EQ(desktop->displays().current().size(), 3u);
}

TEST(DisplaysWithoutServer, UnreadableDisplayGivesEmptyList)
{
    const QByteArray saved = qgetenv("DISPLAY");
    qputenv("DISPLAY", ":4093");
    EXPECT_TRUE(listNow().empty());
    qputenv("DISPLAY", saved);
}

TEST(DisplaysWatch, OnlyADisplayThatCannotBeWatchedIsComplainedAbout)
{
    PrivateXvfb xvfb;
    ASSERT_TRUE(xvfb.running());
    const QByteArray complaint = "displays: cannot watch the X display for changes";
    EXPECT_FALSE(stderrOf([] { listNow(); }).contains(complaint));
    const QByteArray display = qgetenv("DISPLAY");
    qputenv("DISPLAY", ":4093");
    EXPECT_TRUE(stderrOf([] { listNow(); }).contains(complaint));
    qputenv("DISPLAY", display);
}

TEST(DisplaysWithoutPrimary, TheOneMonitorOfAPlainXvfbIsMain)
{
    PrivateXvfb xvfb;
    ASSERT_TRUE(xvfb.running());
    const std::vector<core::DisplayInfo> list = listNow();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_TRUE(list[0].isMain);
}
