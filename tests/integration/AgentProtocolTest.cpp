// The real agent binary in developer mode, driven over loopback WebSockets.
#include "AgentProcess.h"
#include "WsClient.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include <gtest/gtest.h>

namespace {

class AgentProtocol : public ::testing::Test {
protected:
    void SetUp() override {}

    void startAgent()
    {
        ASSERT_TRUE(agent.start());
        ASSERT_TRUE(agent.waitForLog(QStringLiteral("DEV MODE: listening for 127.0.0.1:%1 only, no Tailscale auth")
                                         .arg(agent.devPort())))
            << agent.log().toStdString();
    }

    std::unique_ptr<WsClient> connect()
    {
        auto c = std::make_unique<WsClient>();
        EXPECT_TRUE(c->open(agent.url()));
        return c;
    }

    std::unique_ptr<WsClient> liveClient(bool takeover = false)
    {
        auto c = connect();
        QJsonObject params;
        if (takeover)
            params.insert(QStringLiteral("takeover"), true);
        const QJsonObject reply = c->request(QStringLiteral("hello"), 1, params);
        EXPECT_EQ(reply.value(QStringLiteral("ok")), true) << QJsonDocument(reply).toJson().constData();
        return c;
    }

    AgentProcess agent;
};

QString error(const QJsonObject& reply) { return reply.value(QStringLiteral("error")).toString(); }

TEST_F(AgentProtocol, HelloDescribesTheComputer)
{
    startAgent();
    auto c = connect();
    c->sendText(R"({"type":"hello","id":41})");
    const auto raw = c->next();
    ASSERT_TRUE(raw);
    const QJsonObject reply = parseJson(*raw);
    EXPECT_TRUE(raw->startsWith(R"({"data":{"agentVersion":"0.1.0","displays":[)")) << raw->constData();
    EXPECT_TRUE(raw->endsWith(R"(},"id":41,"ok":true,"type":"result"})")) << raw->constData();
    const QJsonObject data = reply.value(QStringLiteral("data")).toObject();
    EXPECT_FALSE(data.value(QStringLiteral("macName")).toString().isEmpty());
    EXPECT_FALSE(data.value(QStringLiteral("user")).toString().isEmpty());
    EXPECT_TRUE(data.value(QStringLiteral("permissions")).toObject().value(QStringLiteral("screen")).isBool());
    EXPECT_EQ(data.value(QStringLiteral("locked")), false);
    EXPECT_FALSE(data.contains(QStringLiteral("configError")));
    EXPECT_TRUE(agent.waitForLog(QStringLiteral("session from dev client\n")));
    EXPECT_TRUE(agent.log().contains(QStringLiteral("permissions Permissions(screen: ")));
}

namespace {

// A private bus standing in for the system bus, with a host-name service on it that records what
// it is asked and never answers.
class SilentHostnamed : public QDBusVirtualObject {
public:
    static inline const QString kConnection = QStringLiteral("silent-hostnamed");

    ~SilentHostnamed() override
    {
        QDBusConnection::disconnectFromBus(kConnection);
        daemon_.kill();
        daemon_.waitForFinished(3000);
    }

    bool start()
    {
        daemon_.start(QStringLiteral("dbus-daemon"),
                      {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        if (!daemon_.waitForStarted(5000))
            return false;
        while (!daemon_.canReadLine()) {
            if (!daemon_.waitForReadyRead(10000))
                return false;
        }
        address = QString::fromUtf8(daemon_.readLine()).trimmed();
        QDBusConnection bus = QDBusConnection::connectToBus(address, kConnection);
        return bus.registerService(QStringLiteral("org.freedesktop.hostname1"))
            && bus.registerVirtualObject(QStringLiteral("/org/freedesktop/hostname1"), this);
    }

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override
    {
        calls << message.member();
        return true;
    }

    QString address;
    QStringList calls;

private:
    QProcess daemon_;
};

} // namespace

// The host name service is asked once, plainly, and a silent one holds the hello up only briefly.
TEST_F(AgentProtocol, HelloAsksTheHostNameServiceOnceWithoutIntrospection)
{
    SilentHostnamed hostnamed;
    ASSERT_TRUE(hostnamed.start()) << "dbus-daemon could not serve a private bus";
    agent.setEnv(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), hostnamed.address);
    startAgent();
    auto c = connect();
    // Well below D-Bus's default 25 s timeout, far above the agent's own 1 s.
    const QJsonObject reply = c->request(QStringLiteral("hello"), 1, {}, 15000);
    EXPECT_EQ(reply.value(QStringLiteral("ok")), true) << QJsonDocument(reply).toJson().constData();
    EXPECT_FALSE(reply.value(QStringLiteral("data")).toObject().value(QStringLiteral("macName")).toString().isEmpty());
    EXPECT_EQ(hostnamed.calls, QStringList{QStringLiteral("Get")});
}

TEST_F(AgentProtocol, RequestsBeforeHelloAreRefused)
{
    startAgent();
    auto c = connect();
    c->sendText(R"({"type":"apps.list","id":1})");
    const QJsonObject first = parseJson(c->next().value_or(QByteArray()));
    EXPECT_EQ(first.value(QStringLiteral("id")).toInt(), 1);
    EXPECT_EQ(error(first), QStringLiteral("send hello first"));
    EXPECT_EQ(error(c->request(QStringLiteral("nope"), 2)), QStringLiteral("send hello first"));
    EXPECT_EQ(c->request(QStringLiteral("hello"), 3).value(QStringLiteral("ok")), true);
    EXPECT_EQ(error(c->request(QStringLiteral("nope"), 4)), QStringLiteral("unknown request \"nope\""));
    // A second hello on a live session is answered again.
    EXPECT_EQ(c->request(QStringLiteral("hello"), 5).value(QStringLiteral("ok")), true);
    EXPECT_EQ(error(c->request(QStringLiteral("hello"), 6, {{QStringLiteral("takeover"), QStringLiteral("yes")}}))
                  .left(12),
              QStringLiteral("bad params: "));
}

TEST_F(AgentProtocol, MalformedFramesAreDroppedWhileOthersAreServed)
{
    startAgent();
    auto bystander = liveClient();
    auto c = liveClient(true);
    ASSERT_EQ(parseJson(bystander->next().value_or(QByteArray())).value(QStringLiteral("type")), QStringLiteral("kicked"));
    bystander = liveClient(true); // take the Mac back; `c` is kicked
    ASSERT_TRUE(c->waitClosed());

    auto noisy = connect();
    const QByteArray frames[] = {"not json", "[1,2]", R"({"type":"hello","id":"7"})", R"({"id":7})",
                                 R"({"type":"displays.list"})", R"({"type":"hello","id":1.5})", "", "\"x\""};
    const int before = agent.countLog(QStringLiteral("session: dropped message without type/id"));
    for (const QByteArray& f : frames) {
        noisy->sendText(f);
        noisy->sendBinary(f);
    }
    // Each of the 14 non-empty frames is logged once; empty messages never reach the session.
    EXPECT_TRUE(agent.waitForLog(QStringLiteral("session: dropped message without type/id")));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return agent.countLog(QStringLiteral("session: dropped message without type/id")) - before == 14; }, 5000))
        << agent.log().toStdString();
    EXPECT_TRUE(noisy->quiet(200));
    EXPECT_TRUE(noisy->isOpen());

    // A binary frame is a request like any other.
    noisy->sendBinary(R"({"type":"x","id":9})");
    EXPECT_EQ(error(parseJson(noisy->next().value_or(QByteArray()))), QStringLiteral("send hello first"));

    EXPECT_EQ(error(bystander->request(QStringLiteral("nope"), 10)), QStringLiteral("unknown request \"nope\""));
    EXPECT_TRUE(agent.running());
}

TEST_F(AgentProtocol, OversizedMessageEndsOnlyThatConnection)
{
    startAgent();
    auto bystander = liveClient();
    auto big = connect();
    QByteArray payload = R"({"type":"hello","id":1,"pad":")";
    payload += QByteArray(17 * 1024 * 1024, 'a');
    payload += "\"}";
    big->sendText(payload);
    EXPECT_TRUE(big->waitClosed(20000));
    EXPECT_EQ(error(bystander->request(QStringLiteral("nope"), 2)), QStringLiteral("unknown request \"nope\""));
    EXPECT_TRUE(agent.running());
}

TEST_F(AgentProtocol, SecondClientNeedsTakeover)
{
    startAgent();
    auto first = liveClient();
    auto second = connect();
    EXPECT_EQ(error(second->request(QStringLiteral("hello"), 1)), QStringLiteral("Another device is using this Mac"));
    EXPECT_TRUE(first->isOpen());
    EXPECT_EQ(error(second->request(QStringLiteral("nope"), 2)), QStringLiteral("send hello first"));

    EXPECT_EQ(second->request(QStringLiteral("hello"), 3, {{QStringLiteral("takeover"), true}}).value(QStringLiteral("ok")),
              true);
    const auto kicked = first->next();
    ASSERT_TRUE(kicked);
    EXPECT_EQ(*kicked, QByteArray(R"({"type":"kicked"})"));
    ASSERT_TRUE(first->waitClosed());
    EXPECT_EQ(first->closeCode(), 4409);
    EXPECT_EQ(first->closeReason(), QStringLiteral("replaced by a newer session"));
    EXPECT_TRUE(agent.waitForLog(QStringLiteral("session from dev client (took over)")));
    EXPECT_EQ(error(second->request(QStringLiteral("nope"), 4)), QStringLiteral("unknown request \"nope\""));
}

TEST_F(AgentProtocol, TakeoverFalseLeavesTheLiveSessionAlone)
{
    startAgent();
    auto first = liveClient();
    auto second = connect();
    EXPECT_EQ(error(second->request(QStringLiteral("hello"), 1, {{QStringLiteral("takeover"), false}})),
              QStringLiteral("Another device is using this Mac"));
    // Had the first session been kicked, "kicked" would come before this reply.
    first->sendText(R"({"type":"nope","id":2})");
    const QJsonObject reply = parseJson(first->next().value_or(QByteArray()));
    EXPECT_EQ(error(reply), QStringLiteral("unknown request \"nope\"")) << QJsonDocument(reply).toJson().constData();
    EXPECT_TRUE(first->isOpen());
}

TEST_F(AgentProtocol, TakeoverWithNobodyActiveStillSaysTookOver)
{
    startAgent();
    auto c = liveClient(true);
    EXPECT_TRUE(agent.waitForLog(QStringLiteral("session from dev client (took over)")));
}

TEST_F(AgentProtocol, ActiveSessionEndingFreesTheComputer)
{
    startAgent();
    {
        auto first = liveClient();
        first->socket().close();
        ASSERT_TRUE(first->waitClosed());
    }
    // Closing may take a moment to reach the agent; a plain hello must then succeed.
    auto second = connect();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return second->request(QStringLiteral("hello"), 1).value(QStringLiteral("ok")) == true; }, 5000));
}

TEST_F(AgentProtocol, ConfigurationErrorsReachTheClient)
{
    // The old stream layout still lets the file's port apply, so the test keeps its free port.
    agent.writeConfig(QStringLiteral(R"({"port":%1,"api":"nowhere","stream":{"maxFps":30}})").arg(freePortPair()).toUtf8());
    startAgent();
    const QString expected = QStringLiteral(
        "config.json: stream.maxEdge/maxFps moved to stream.full and stream.light; config.json: api is not a valid "
        "URL; using https://");
    EXPECT_TRUE(agent.waitForLog(expected));
    auto c = connect();
    const QJsonObject data = c->request(QStringLiteral("hello"), 1).value(QStringLiteral("data")).toObject();
    EXPECT_TRUE(data.value(QStringLiteral("configError")).toString().startsWith(expected));
    EXPECT_EQ(agent.countLog(QStringLiteral("config.json: stream.maxEdge")), 1);
}

TEST_F(AgentProtocol, OnlyIPv4LoopbackIsAdmitted)
{
    startAgent();
    WsClient v6;
    // The refusal may arrive before the client has even noticed the open handshake.
    v6.open(QStringLiteral("ws://[::1]:%1").arg(agent.devPort()));
    ASSERT_TRUE(v6.waitClosed());
    EXPECT_EQ(v6.closeCode(), 4403);
    EXPECT_EQ(v6.closeReason(), QStringLiteral("device not on your account"));
    auto ok = liveClient();
    EXPECT_TRUE(ok->isOpen());
}

TEST_F(AgentProtocol, UnreadableDeviceListIsReported)
{
    const QString dir = agent.home() + QStringLiteral("/.config/nembi");
    QDir().mkpath(dir);
    QFile settings(dir + QStringLiteral("/remote-agent.conf"));
    ASSERT_TRUE(settings.open(QIODevice::WriteOnly));
    settings.write("[General]\ndevices=@ByteArray({\\\"all\\\":[{\\\"id\\\":1}]})\n");
    settings.close();
    startAgent();
    EXPECT_TRUE(agent.log().contains(QStringLiteral("devices: saved list unreadable, starting empty")));
}

} // namespace
