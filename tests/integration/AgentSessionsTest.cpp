// The agent's bookkeeping of sessions, devices and status, run in this process.
#include "Agent.h"
#include "AgentProcess.h"
#include "WsClient.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

using namespace core;

namespace {

class AgentSessions : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(home.isValid());
        savedHome = qgetenv("HOME");
        savedConfig = qgetenv("XDG_CONFIG_HOME");
        qputenv("HOME", home.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/.config")).toUtf8());
        port = freePortPair();
        QDir().mkpath(home.path() + QStringLiteral("/.config/nembi-remote-agent"));
        QFile config(home.path() + QStringLiteral("/.config/nembi-remote-agent/config.json"));
        ASSERT_TRUE(config.open(QIODevice::WriteOnly));
        config.write(QStringLiteral(R"({"port":%1})").arg(port).toUtf8());
        config.close();
        agent = std::make_unique<Agent>(true);
        QObject::connect(agent.get(), &Agent::statusChanged, [this] { ++notifications; });
        agent->start();
    }

    void TearDown() override
    {
        agent.reset();
        QTest::qWait(10); // let released sessions go
        qputenv("HOME", savedHome);
        if (savedConfig.isEmpty())
            qunsetenv("XDG_CONFIG_HOME");
        else
            qputenv("XDG_CONFIG_HOME", savedConfig);
    }

    std::unique_ptr<WsClient> hello(bool takeover = false)
    {
        auto c = std::make_unique<WsClient>();
        EXPECT_TRUE(c->open(QStringLiteral("ws://127.0.0.1:%1").arg(port + 1)));
        QJsonObject params;
        if (takeover)
            params.insert(QStringLiteral("takeover"), true);
        EXPECT_EQ(c->request(QStringLiteral("hello"), 1, params).value(QStringLiteral("ok")), true);
        return c;
    }

    DeviceList stored()
    {
        QSettings settings;
        settings.sync();
        return DeviceList::decode(settings.value(QStringLiteral("devices")).toByteArray()).value_or(DeviceList{});
    }

    QTemporaryDir home;
    QByteArray savedHome;
    QByteArray savedConfig;
    int port = 0;
    int notifications = 0;
    std::unique_ptr<Agent> agent;
};

TEST_F(AgentSessions, ClaimWithoutPeerShowsRemoteTextAndRecordsNothing)
{
    auto c = hello();
    EXPECT_EQ(agent->connectedDevice(), QStringLiteral("dev client"));
    EXPECT_FALSE(agent->connectedDeviceID());
    EXPECT_EQ(notifications, 1);
    EXPECT_TRUE(agent->devices().all.empty());
    c->socket().close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !agent->connectedDevice(); }, 5000));
    EXPECT_EQ(notifications, 2);
    EXPECT_TRUE(stored().all.empty());
}

TEST_F(AgentSessions, KnownPeerIsRecordedSeenAndSaved)
{
    agent->recordPeer(QStringLiteral("dev client"), {QStringLiteral("nPHONE"), QStringLiteral("phone")});
    auto c = hello();
    EXPECT_EQ(agent->connectedDevice(), QStringLiteral("phone"));
    EXPECT_EQ(agent->connectedDeviceID(), QStringLiteral("nPHONE"));
    ASSERT_EQ(stored().all.size(), 1u);
    const QDateTime claimed = stored().all[0].lastSeen;
    EXPECT_EQ(stored().all[0].state, Device::State::active);

    QTest::qWait(20);
    c->socket().close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !agent->connectedDeviceID(); }, 5000));
    EXPECT_GT(stored().all[0].lastSeen, claimed); // touched again at the end
}

TEST_F(AgentSessions, TakeoverNotifiesTwice)
{
    auto first = hello();
    notifications = 0;
    auto second = hello(true);
    EXPECT_EQ(notifications, 2);
    ASSERT_TRUE(first->waitClosed());
    EXPECT_EQ(first->closeCode(), 4409);
}

TEST_F(AgentSessions, EveryListenerHearsEachStatusAsItWas)
{
    std::vector<AgentStatus> heard; // a second listener beside the fixture's
    QObject::connect(agent.get(), &Agent::statusChanged, [&heard](const AgentStatus& s) { heard.push_back(s); });
    agent->recordPeer(QStringLiteral("dev client"), {QStringLiteral("nPHONE"), QStringLiteral("phone")});
    auto c = hello();
    agent->disableDevice(QStringLiteral("nPHONE"));

    EXPECT_EQ(notifications, 3);
    ASSERT_EQ(heard.size(), 3u); // the claim, the session's end, the command
    EXPECT_EQ(heard[0].connectedDeviceID, QStringLiteral("nPHONE"));
    EXPECT_EQ(heard[0].devices.state(QStringLiteral("nPHONE")), Device::State::active);
    EXPECT_FALSE(heard[1].connectedDevice);
    EXPECT_EQ(heard[2].devices.state(QStringLiteral("nPHONE")), Device::State::disabled);
    EXPECT_EQ(heard[2], agent->status());
}

TEST_F(AgentSessions, DisablingTheConnectedDeviceClosesItsSession)
{
    agent->recordPeer(QStringLiteral("dev client"), {QStringLiteral("nPHONE"), QStringLiteral("phone")});
    auto c = hello();
    notifications = 0;
    agent->disableDevice(QStringLiteral("nPHONE"));
    EXPECT_FALSE(agent->connectedDeviceID());
    EXPECT_EQ(notifications, 2); // the session's end, then the command
    ASSERT_TRUE(c->waitClosed());
    EXPECT_EQ(c->closeCode(), 4414);
    EXPECT_EQ(c->closeReason(), QStringLiteral("Access for this device is turned off on this Mac. Turn it on in the "
                                               "Dorvane menu on the Mac."));
    EXPECT_EQ(stored().state(QStringLiteral("nPHONE")), Device::State::disabled);

    agent->enableDevice(QStringLiteral("nPHONE"));
    EXPECT_EQ(stored().state(QStringLiteral("nPHONE")), Device::State::active);
}

TEST_F(AgentSessions, RemovingTheConnectedDeviceClosesItsSession)
{
    agent->recordPeer(QStringLiteral("dev client"), {QStringLiteral("nPHONE"), QStringLiteral("phone")});
    auto c = hello();
    agent->removeDevice(QStringLiteral("nPHONE"));
    ASSERT_TRUE(c->waitClosed());
    EXPECT_EQ(c->closeCode(), 4413);
    EXPECT_EQ(c->closeReason(), QStringLiteral("This Mac removed this device. Scan the code on the Mac to add it again."));
    EXPECT_EQ(stored().state(QStringLiteral("nPHONE")), Device::State::removed);
    EXPECT_TRUE(agent->devices().visible().empty());
}

TEST_F(AgentSessions, EachCommandOnADeviceWithoutASessionIsSavedAtOnce)
{
    agent->recordPeer(QStringLiteral("dev client"), {QStringLiteral("nPHONE"), QStringLiteral("phone")});
    auto c = hello();
    c->socket().close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !agent->connectedDeviceID(); }, 5000));
    const struct {
        void (Agent::*command)(const QString&);
        Device::State saved;
    } steps[] = {{&Agent::disableDevice, Device::State::disabled},
                 {&Agent::enableDevice, Device::State::active},
                 {&Agent::removeDevice, Device::State::removed}};
    for (const auto& step : steps) {
        (agent.get()->*step.command)(QStringLiteral("nPHONE"));
        EXPECT_EQ(stored().state(QStringLiteral("nPHONE")), step.saved);
    }
}

TEST_F(AgentSessions, CommandsOnOtherDevicesOnlyChangeTheRegistry)
{
    agent->recordPeer(QStringLiteral("dev client"), {QStringLiteral("nPHONE"), QStringLiteral("phone")});
    auto c = hello();
    agent->removeDevice(QStringLiteral("unknown"));
    agent->disableDevice(QStringLiteral("unknown"));
    EXPECT_TRUE(c->isOpen());
    EXPECT_TRUE(c->quiet(100));
    EXPECT_EQ(agent->connectedDeviceID(), QStringLiteral("nPHONE"));
}

TEST_F(AgentSessions, RefusedClaimThatEndsLeavesStatusAlone)
{
    auto first = hello();
    auto second = std::make_unique<WsClient>();
    ASSERT_TRUE(second->open(QStringLiteral("ws://127.0.0.1:%1").arg(port + 1)));
    EXPECT_EQ(second->request(QStringLiteral("hello"), 1).value(QStringLiteral("error")),
              QStringLiteral("Another device is using this Mac"));
    notifications = 0;
    second->socket().close();
    ASSERT_TRUE(second->waitClosed());
    QTest::qWait(100);
    EXPECT_EQ(notifications, 0);
    EXPECT_EQ(agent->connectedDevice(), QStringLiteral("dev client"));
}

} // namespace
