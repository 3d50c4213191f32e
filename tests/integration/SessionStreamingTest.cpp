#include "AgentProcess.h"
#include "GstReceiver.h"
#include "WsClient.h"

#include <QJsonArray>
#include <QJsonDocument>

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
        hello = client.request(QStringLiteral("hello"), 1);
        ASSERT_TRUE(hello.value(QStringLiteral("ok")).toBool());
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
    QJsonObject hello;
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
    // A stop ends the ticks: one sent before its reply may still come first, none after it.
    ASSERT_TRUE(client.request(QStringLiteral("stats.start"), 3).value(QStringLiteral("ok")).toBool());
    client.sendText(QByteArrayLiteral(R"({"type":"stats.stop","id":4})"));
    for (;;) {
        const auto m = client.next(15000);
        ASSERT_TRUE(m);
        const QJsonObject o = parseJson(*m);
        if (o.value(QStringLiteral("type")) == QLatin1String("result")) {
            EXPECT_EQ(o, QJsonObject({{"type", "result"}, {"id", 4}, {"ok", true}}));
            break;
        }
        EXPECT_EQ(o, QJsonObject({{"type", "stats"}}));
    }
    EXPECT_TRUE(client.quiet(2500));
}

TEST_F(SessionStreamingTest, StartStopAndSwitchAreAnsweredInTheOrderSent)
{
    GstReceiver phone;
    const QJsonObject answer = client.request(QStringLiteral("rtc.offer"), 2, {{"sdp", phone.offer()}}, 15000);
    ASSERT_TRUE(answer.value(QStringLiteral("ok")).toBool()) << answer.value(QStringLiteral("error")).toString().toStdString();
    EXPECT_TRUE(answer.value(QStringLiteral("data")).toObject().value(QStringLiteral("sdp")).toString().contains(
        QLatin1String("a=rtpmap:102 H264/90000")));

    const auto displays = hello.value(QStringLiteral("data")).toObject().value(QStringLiteral("displays")).toArray();
    ASSERT_FALSE(displays.isEmpty());
    const qint64 display = displays[0].toObject().value(QStringLiteral("id")).toInteger();

    // Sent back to back, without waiting for replies.
    const QList<std::pair<QString, qint64>> requests{
        {"stream.start", 10}, {"stream.stop", 11}, {"stream.start", 12}, {"stream.switch", 13}, {"stream.stop", 14}};
    for (const auto& [type, id] : requests) {
        QJsonObject message{{"type", type}, {"id", id}};
        if (type != QLatin1String("stream.stop"))
            message.insert(QStringLiteral("displayId"), display);
        client.sendText(QJsonDocument(message).toJson(QJsonDocument::Compact));
    }
    QList<qint64> order;
    while (order.size() < requests.size()) {
        auto m = client.next(15000);
        ASSERT_TRUE(m);
        const QJsonObject o = parseJson(*m);
        if (o.value(QStringLiteral("type")) != QLatin1String("result"))
            continue;
        EXPECT_TRUE(o.value(QStringLiteral("ok")).toBool()) << m->toStdString();
        order << o.value(QStringLiteral("id")).toInteger();
    }
    EXPECT_EQ(order, (QList<qint64>{10, 11, 12, 13, 14}));
}
