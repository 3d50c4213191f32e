// The agent binary's pairing at start-up against the stand-in cloud and the real keyring.
#include "AgentProcess.h"
#include "CloudProcess.h"
#include "KeychainLinkStore.h"
#include "KeyringDaemon.h"
#include "WsClient.h"

#include <QJsonArray>
#include <QTest>

#include <algorithm>

#include <gtest/gtest.h>

using namespace core;

namespace {

class AgentPairing : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(KeyringDaemon::instance().ready()) << KeyringDaemon::instance().error().toStdString();
        ASSERT_TRUE(cloud.start()) << cloud.error().toStdString();
        agent.setEnv(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), KeyringDaemon::instance().busAddress());
        store.clear();
        store.savePendingUnpair(std::nullopt);
    }
    void startAgent()
    {
        const int port = freePortPair();
        agent.writeConfig(QStringLiteral(R"({"port":%1,"api":"%2"})").arg(port).arg(cloud.base()).toUtf8());
        ASSERT_TRUE(agent.start());
        ASSERT_TRUE(agent.waitForLog(QStringLiteral("DEV MODE: listening"))) << agent.log().toStdString();
    }
    Linked linkFor(const QString& macId, const QString& token) const
    {
        return {macId, QStringLiteral("user-1"), QStringLiteral("a@b.c"), token, std::nullopt};
    }

    CloudProcess cloud;
    AgentProcess agent;
    KeychainLinkStore store;
};

} // namespace

TEST_F(AgentPairing, StartupForgetsALinkTheCloudNoLongerKnows)
{
    store.save(linkFor(QStringLiteral("mac-gone"), PairCode::secret()));
    startAgent();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !store.load().has_value(); }, 20000)) << agent.log().toStdString();
    EXPECT_TRUE(cloud.received(QStringLiteral("GET /v1/mac")));
    EXPECT_TRUE(agent.running());
}

TEST_F(AgentPairing, StartupChecksAKnownLinkOnceAndDeliversAPendingUnlink)
{
    const QString token = PairCode::secret();
    const QString macId = cloud.pairMac(token, QStringLiteral("user-1"));
    ASSERT_FALSE(macId.isEmpty());
    const QString oldToken = PairCode::secret();
    ASSERT_FALSE(cloud.pairMac(oldToken, QStringLiteral("user-1")).isEmpty());
    store.save(linkFor(macId, token));
    store.savePendingUnpair(oldToken);

    startAgent();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !store.loadPendingUnpair().has_value(); }, 20000)) << agent.log().toStdString();
    EXPECT_EQ(cloud.state().value(QStringLiteral("unpaired")).toInt(), 1);
    EXPECT_TRUE(cloud.received(QStringLiteral("GET /v1/mac")));
    EXPECT_EQ(store.load(), linkFor(macId, token));

    // The next check is hours away: two seconds later the cloud still has been asked once.
    QTest::qWait(2000);
    const QJsonArray requests = cloud.state().value(QStringLiteral("requests")).toArray();
    EXPECT_EQ(std::count(requests.begin(), requests.end(), QJsonValue(QStringLiteral("GET /v1/mac"))), 1);
}

TEST_F(AgentPairing, DevModeAdmitsEveryHelloEvenWithoutAKeyring)
{
    agent.setEnv(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent/bus"));
    startAgent();

    WsClient client;
    ASSERT_TRUE(client.open(agent.url()));
    const QJsonObject reply = client.request(QStringLiteral("hello"), 1, {{"ticket", QString(1 << 20, QLatin1Char('x'))}});
    EXPECT_TRUE(reply.value(QStringLiteral("ok")).toBool()) << agent.log().toStdString();
    EXPECT_TRUE(agent.running());
}

TEST_F(AgentPairing, InvalidApiFallsBackToTheDefaultWithOneLine)
{
    const int port = freePortPair();
    agent.writeConfig(QStringLiteral(R"({"port":%1,"api":"no scheme here"})").arg(port).toUtf8());
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(agent.waitForLog(QStringLiteral("DEV MODE: listening"))) << agent.log().toStdString();
    EXPECT_EQ(agent.countLog(QStringLiteral("config.json: api is not a valid URL; using https://api.dorvane.app")), 1)
        << agent.log().toStdString();
}
