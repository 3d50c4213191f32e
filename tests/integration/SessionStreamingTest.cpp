#include "AgentProcess.h"
#include "WsClient.h"

#include <gtest/gtest.h>

// The streaming requests of a session, against the real agent, without a browser: the answers
// that need no peer, statistics without a stream, and the order of replies.
class SessionStreamingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(agent.start());
        ASSERT_TRUE(agent.waitForLog(QStringLiteral("listening")));
        ASSERT_TRUE(client.open(agent.url()));
        ASSERT_TRUE(client.request(QStringLiteral("hello"), 1).value(QStringLiteral("ok")).toBool());
    }

    QJsonObject nextEvent(const QString& type)
    {
        while (auto m = client.next(10000)) {
            const QJsonObject o = parseJson(*m);
            if (o.value(QStringLiteral("type")).toString() == type)
                return o;
        }
        ADD_FAILURE() << "no " << type.toStdString() << " event";
        return {};
    }

    AgentProcess agent;
    WsClient client;
};

TEST_F(SessionStreamingTest, StreamingRequestsWithoutAPeerAreRefused)
{
    for (const char* type : {"stream.start", "stream.switch"}) {
        const QJsonObject reply = client.request(QString::fromLatin1(type), 2, {{"displayId", 1}});
        EXPECT_FALSE(reply.value(QStringLiteral("ok")).toBool());
        EXPECT_EQ(reply.value(QStringLiteral("error")).toString(), QStringLiteral("send rtc.offer first"));
    }
    // rtc.ice reports the missing peer before looking at its parameters.
    const QJsonObject ice = client.request(QStringLiteral("rtc.ice"), 3);
    EXPECT_EQ(ice.value(QStringLiteral("error")).toString(), QStringLiteral("send rtc.offer first"));
    // A stop without a stream is fine.
    EXPECT_TRUE(client.request(QStringLiteral("stream.stop"), 4).value(QStringLiteral("ok")).toBool());
}

TEST_F(SessionStreamingTest, OfferParametersAreChecked)
{
    const QJsonObject unknown =
        client.request(QStringLiteral("rtc.offer"), 2, {{"sdp", "v=0\r\n"}, {"profile", "huge"}});
    EXPECT_EQ(unknown.value(QStringLiteral("error")).toString(), QStringLiteral("unknown profile \"huge\""));
    const QJsonObject missing = client.request(QStringLiteral("rtc.offer"), 3);
    EXPECT_TRUE(missing.value(QStringLiteral("error")).toString().startsWith(QLatin1String("bad params: ")));
    // An offer this agent cannot serve fails with a reason instead of an inactive answer.
    const QJsonObject noVideo = client.request(QStringLiteral("rtc.offer"), 4,
                                               {{"sdp", "v=0\r\no=- 1 1 IN IP4 0.0.0.0\r\ns=-\r\nt=0 0\r\n"}});
    EXPECT_EQ(noVideo.value(QStringLiteral("error")).toString(), QStringLiteral("no common video codec"));
}

TEST_F(SessionStreamingTest, StatisticsWithoutAStreamAreBareTicks)
{
    ASSERT_TRUE(client.request(QStringLiteral("stats.start"), 2).value(QStringLiteral("ok")).toBool());
    // One at once and one a second later, each with nothing but its type.
    for (int i = 0; i < 2; ++i) {
        const QJsonObject stats = nextEvent(QStringLiteral("stats"));
        EXPECT_EQ(stats, QJsonObject({{"type", "stats"}}));
    }
    // A stop ends the ticks.
    ASSERT_TRUE(client.request(QStringLiteral("stats.start"), 3).value(QStringLiteral("ok")).toBool());
    ASSERT_TRUE(client.request(QStringLiteral("stats.stop"), 4).value(QStringLiteral("ok")).toBool());
    EXPECT_TRUE(client.quiet(2500));
}
