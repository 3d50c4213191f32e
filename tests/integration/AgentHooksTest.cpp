// The agent's answers to pairing changes, with the agent in this process (developer mode), the
// stand-in cloud and the real keyring.
#include "Agent.h"
#include "AgentProcess.h"
#include "CloudProcess.h"
#include "KeychainLinkStore.h"
#include "KeyringDaemon.h"
#include "WsClient.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

using namespace core;

namespace {

const MacDetails kDetails{QStringLiteral("n1"), QStringLiteral("Desk"), QStringLiteral("desk"), 7420, QStringLiteral("a@b.c")};

class AgentHooks : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(KeyringDaemon::instance().ready()) << KeyringDaemon::instance().error().toStdString();
        ASSERT_TRUE(cloud.start()) << cloud.error().toStdString();
        ASSERT_TRUE(home.isValid());
        savedHome = qgetenv("HOME");
        qputenv("HOME", home.path().toUtf8());
        port = freePortPair();
        QDir().mkpath(home.path() + QStringLiteral("/.config/nembi-remote-agent"));
        QFile config(home.path() + QStringLiteral("/.config/nembi-remote-agent/config.json"));
        ASSERT_TRUE(config.open(QIODevice::WriteOnly));
        config.write(QStringLiteral(R"({"port":%1,"api":"%2"})").arg(port).arg(cloud.base()).toUtf8());
        config.close();

        DeviceList devices;
        devices.record(QStringLiteral("phone-1"), QStringLiteral("Phone"), QDateTime::currentDateTimeUtc());
        devices.record(QStringLiteral("tablet-1"), QStringLiteral("Tablet"), QDateTime::currentDateTimeUtc());
        QSettings().setValue(QStringLiteral("devices"), *devices.encoded());

        token = PairCode::secret();
        const QString macId = cloud.pairMac(token, QStringLiteral("user-1"));
        ASSERT_FALSE(macId.isEmpty());
        store.savePendingUnpair(std::nullopt);
        store.save({macId, QStringLiteral("user-1"), QStringLiteral("a@b.c"), token, std::nullopt});

        agent = std::make_unique<Agent>(true);
        QObject::connect(agent.get(), &Agent::statusChanged, [this] { ++statusChanges; });
        agent->start();
        ASSERT_TRUE(agent->pairing && agent->pairing->linked());
        ASSERT_EQ(agent->devices().all.size(), 2u);
    }
    void TearDown() override
    {
        agent.reset();
        QSettings().remove(QStringLiteral("devices"));
        qputenv("HOME", savedHome);
    }
    // Connects and says hello (developer mode admits it), so that a session is active.
    void connectPhone()
    {
        ASSERT_TRUE(phone.open(QStringLiteral("ws://127.0.0.1:%1").arg(port + 1)));
        ASSERT_TRUE(phone.request(QStringLiteral("hello"), 1).value(QStringLiteral("ok")).toBool());
        ASSERT_TRUE(agent->connectedDevice().has_value());
    }
    std::optional<DeviceList> storedDevices()
    {
        return DeviceList::decode(QSettings().value(QStringLiteral("devices")).toByteArray());
    }

    CloudProcess cloud;
    QTemporaryDir home;
    QByteArray savedHome;
    int port = 0;
    QString token;
    KeychainLinkStore store;
    std::unique_ptr<Agent> agent;
    WsClient phone;
    int statusChanges = 0;
};

} // namespace

TEST_F(AgentHooks, UnlinkedAtTheCloudClosesTheSessionAndForgetsDevices)
{
    connectPhone();
    // The owner unlinks this Mac from elsewhere; the next check finds out.
    CloudAPI(QUrl(cloud.base()), CloudAPI::urlSession(agent.get())).unpair(token, [](auto) {});
    ASSERT_TRUE(QTest::qWaitFor([&] { return cloud.state().value(QStringLiteral("unpaired")).toInt() == 1; }, 20000));
    bool checked = false;
    agent->pairing->check([&] { checked = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return checked; }, 20000));

    EXPECT_FALSE(agent->pairing->linked());
    EXPECT_FALSE(store.load());
    ASSERT_TRUE(phone.waitClosed());
    EXPECT_EQ(phone.closeCode(), 4412);
    EXPECT_EQ(phone.closeReason(), Close::notPaired.reason);
    EXPECT_TRUE(agent->devices().all.empty());
    ASSERT_TRUE(storedDevices());
    EXPECT_TRUE(storedDevices()->all.empty());
    EXPECT_FALSE(agent->connectedDevice());
}

TEST_F(AgentHooks, LocalUnpairClosesTheSessionAndTellsTheCloud)
{
    connectPhone();
    agent->pairing->unpair();
    ASSERT_TRUE(phone.waitClosed());
    EXPECT_EQ(phone.closeCode(), 4412);
    EXPECT_TRUE(agent->devices().all.empty());
    ASSERT_TRUE(QTest::qWaitFor([&] { return cloud.state().value(QStringLiteral("unpaired")).toInt() == 1; }, 20000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !store.loadPendingUnpair().has_value(); }, 20000));
}

TEST_F(AgentHooks, NewOwnerClearsTheDevicesAndNotifies)
{
    agent->pairing->show();
    const QString code = *agent->pairing->shownCode();
    bool ticked = false;
    agent->pairing->tick(kDetails, [&] { ticked = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return ticked; }, 20000));
    ASSERT_TRUE(cloud.claim(code, QStringLiteral("user-2"), QStringLiteral("b@c.d")));
    const int before = statusChanges;
    ticked = false;
    agent->pairing->tick(kDetails, [&] { ticked = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return ticked; }, 20000));

    EXPECT_EQ(agent->pairing->linked()->owner, QStringLiteral("user-2"));
    EXPECT_EQ(agent->pairing->linked()->token, token) << "re-pairing keeps the token";
    EXPECT_TRUE(agent->devices().all.empty());
    ASSERT_TRUE(storedDevices());
    EXPECT_TRUE(storedDevices()->all.empty());
    EXPECT_GT(statusChanges, before);
}
