#include "AgentProcess.h"
#include "DecodedJpeg.h"
#include "WsClient.h"
#include "XPainter.h"
#include "XServerFixture.h"

#include <gtest/gtest.h>

#include <QJsonArray>

namespace {

// The real agent on an Xorg dummy server with two monitors: DUMMY0 (2880x1800, primary) and
// SIDE (1920x1080) to its right, each with a coloured square.
class AgentDisplaysTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(x.start({2880, 1800}, {4800, 1800}));
        ASSERT_TRUE(x.addMonitor(QStringLiteral("SIDE"), QRect(2880, 0, 1920, 1080)));
        painter = std::make_unique<XPainter>();
        painter->rect({0, 0, 900, 900}, 0xff0000);
        painter->rect({2880, 0, 960, 540}, 0x0000ff);
        painter->movePointer(2800, 1700);
        const int port = freePortPair();
        agent.writeConfig(QStringLiteral(R"({"port":%1,"thumbs":{"width":320,"intervalMs":200}})").arg(port).toUtf8());
        ASSERT_TRUE(agent.start());
        ASSERT_TRUE(agent.waitForLog(QStringLiteral("listening")));
        ASSERT_TRUE(client.open(agent.url()));
        hello = client.request(QStringLiteral("hello"), 1);
        ASSERT_TRUE(hello.value(QStringLiteral("ok")).toBool()) << agent.log().toStdString();
    }

    // The next message that is not a reply.
    QJsonObject nextEvent(const QString& type)
    {
        while (auto m = client.next(10000)) {
            const QJsonObject o = parseJson(*m);
            if (o.value(QStringLiteral("type")).toString() == type)
                return o;
        }
        return {};
    }

    XServerFixture x;
    std::unique_ptr<XPainter> painter;
    AgentProcess agent;
    WsClient client;
    QJsonObject hello;
};

QStringList names(const QJsonArray& displays)
{
    QStringList out;
    for (const auto& d : displays)
        out << d.toObject().value(QStringLiteral("name")).toString();
    return out;
}

} // namespace

TEST_F(AgentDisplaysTest, HelloAndDisplaysListCarryTheMonitors)
{
    const QJsonArray inHello = hello.value(QStringLiteral("data")).toObject().value(QStringLiteral("displays")).toArray();
    EXPECT_EQ(names(inHello), (QStringList{QStringLiteral("DUMMY0"), QStringLiteral("SIDE")}));

    const QJsonObject list = client.request(QStringLiteral("displays.list"), 2);
    ASSERT_TRUE(list.value(QStringLiteral("ok")).toBool());
    const QJsonArray displays = list.value(QStringLiteral("data")).toArray();
    EXPECT_EQ(displays, inHello);
    const QJsonObject side = displays.at(1).toObject();
    EXPECT_EQ(side.value(QStringLiteral("id")).toInteger(), x.atom(QStringLiteral("SIDE")));
    EXPECT_EQ(side.value(QStringLiteral("x")).toDouble(), 2880);
    EXPECT_EQ(side.value(QStringLiteral("width")).toDouble(), 1920);
    EXPECT_EQ(side.value(QStringLiteral("height")).toDouble(), 1080);
    EXPECT_FALSE(side.value(QStringLiteral("isMain")).toBool());
    EXPECT_TRUE(displays.at(0).toObject().value(QStringLiteral("isMain")).toBool());
}

TEST_F(AgentDisplaysTest, AddedAndRemovedMonitorsReachTheSessionOnceEach)
{
    ASSERT_TRUE(x.xrandr(XServerFixture::setMonitorArgs(QStringLiteral("THIRD"), QRect(2880, 1080, 800, 600))
                         + XServerFixture::setMonitorArgs(QStringLiteral("FOURTH"), QRect(3680, 1080, 800, 600))));
    const QJsonObject added = nextEvent(QStringLiteral("displays.changed"));
    EXPECT_EQ(names(added.value(QStringLiteral("displays")).toArray()),
              (QStringList{QStringLiteral("DUMMY0"), QStringLiteral("SIDE"), QStringLiteral("THIRD"),
                           QStringLiteral("FOURTH")}));
    EXPECT_TRUE(client.quiet(800)); // the burst gave one event

    ASSERT_TRUE(x.deleteMonitor(QStringLiteral("THIRD")));
    const QJsonObject removed = nextEvent(QStringLiteral("displays.changed"));
    EXPECT_EQ(names(removed.value(QStringLiteral("displays")).toArray()),
              (QStringList{QStringLiteral("DUMMY0"), QStringLiteral("SIDE"), QStringLiteral("FOURTH")}));
}

TEST_F(AgentDisplaysTest, ThumbnailsOfEveryDisplayInOrderUntilStopped)
{
    ASSERT_TRUE(client.request(QStringLiteral("thumbs.start"), 2).value(QStringLiteral("ok")).toBool());
    const QJsonObject first = nextEvent(QStringLiteral("thumb"));
    const QJsonObject second = nextEvent(QStringLiteral("thumb"));
    EXPECT_EQ(first.value(QStringLiteral("displayId")).toInteger(), x.atom(QStringLiteral("DUMMY0")));
    EXPECT_EQ(second.value(QStringLiteral("displayId")).toInteger(), x.atom(QStringLiteral("SIDE")));

    const auto main = DecodedJpeg::decode(QByteArray::fromBase64(first.value(QStringLiteral("jpeg")).toString().toLatin1()));
    const auto side = DecodedJpeg::decode(QByteArray::fromBase64(second.value(QStringLiteral("jpeg")).toString().toLatin1()));
    ASSERT_TRUE(main && side);
    EXPECT_EQ(main->width, 320);
    EXPECT_EQ(main->height, 200); // 320 * 1800 / 2880
    EXPECT_EQ(side->width, 320);
    EXPECT_EQ(side->height, 180);
    // The red square covers the top-left 900 of 2880 pixels (100 of 320), the blue one half of SIDE.
    EXPECT_TRUE(colourNear(main->at(50, 50), 0xff0000)) << std::hex << main->at(50, 50);
    EXPECT_FALSE(colourNear(main->at(200, 150), 0xff0000));
    EXPECT_TRUE(colourNear(side->at(80, 45), 0x0000ff)) << std::hex << side->at(80, 45);
    EXPECT_FALSE(colourNear(side->at(240, 135), 0x0000ff));

    // More ticks follow on their own.
    EXPECT_FALSE(nextEvent(QStringLiteral("thumb")).isEmpty());

    ASSERT_TRUE(client.request(QStringLiteral("thumbs.stop"), 3).value(QStringLiteral("ok")).toBool());
    // Events already sent may still be in flight; after them, silence.
    for (int inFlight = 0; auto m = client.next(1000); ++inFlight) {
        ASSERT_EQ(parseJson(*m).value(QStringLiteral("type")).toString(), QStringLiteral("thumb"));
        ASSERT_LT(inFlight, 4) << "thumbnails keep coming after thumbs.stop";
    }
    EXPECT_TRUE(client.quiet(700));
}
