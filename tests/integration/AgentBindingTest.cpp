// The agent's Tailscale status as the menu sees it, run in this process. The loopback interface plays
// the Tailscale interface here: the stand-in `tailscale` gives 127.0.0.1 as this computer's address.
#include "Agent.h"
#include "AgentProcess.h"
#include "WsClient.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include <sched.h>
#include <unistd.h>

using namespace core;

namespace {

class AgentBinding : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(home.isValid());
        saved = {{"HOME", qgetenv("HOME")}, {"XDG_CONFIG_HOME", qgetenv("XDG_CONFIG_HOME")},
                 {"PATH", qgetenv("PATH")}, {"FAKE_TAILNET", qgetenv("FAKE_TAILNET")}};
        qputenv("HOME", home.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/.config")).toUtf8());
        qputenv("PATH", QByteArray(FAKE_TAILSCALE_DIR ":") + saved["PATH"]);
        qputenv("FAKE_TAILNET", tailnet().toUtf8());
        port = freePortPair();
        QDir().mkpath(home.path() + QStringLiteral("/.config/nembi-remote-agent"));
        QFile config(home.path() + QStringLiteral("/.config/nembi-remote-agent/config.json"));
        ASSERT_TRUE(config.open(QIODevice::WriteOnly));
        config.write(QStringLiteral(R"({"port":%1})").arg(port).toUtf8());
    }

    void TearDown() override
    {
        agent.reset();
        for (const auto& [name, value] : saved) {
            if (value.isEmpty())
                qunsetenv(name.c_str());
            else
                qputenv(name.c_str(), value);
        }
    }

    QString tailnet() const { return home.path() + QStringLiteral("/tailnet.json"); }

    void writeTailnet(bool up)
    {
        QSaveFile file(tailnet());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral(R"({"self":1,"nodes":[{"id":1,"stableID":"nMAC","login":"me@example.com","addresses":[%1]}]})")
                       .arg(up ? QStringLiteral("\"127.0.0.1\"") : QString())
                       .toUtf8());
        ASSERT_TRUE(file.commit());
    }

    void startAgent()
    {
        agent = std::make_unique<Agent>(false);
        QObject::connect(agent.get(), &Agent::statusChanged, [this] {
            ++notifications;
            states.push_back(agent->tailscale());
            notifiedAt.push_back(std::chrono::steady_clock::now());
        });
        agent->start();
    }

    QTemporaryDir home;
    std::map<std::string, QByteArray> saved;
    int port = 0;
    int notifications = 0;
    std::vector<TailscaleState> states;
    std::vector<std::chrono::steady_clock::time_point> notifiedAt;
    std::unique_ptr<Agent> agent;
};

TEST_F(AgentBinding, OffWithOneNotificationPerAttemptThenOnWithTheOwnLogin)
{
    writeTailnet(false);
    startAgent();
    // Failed attempts, never less than five seconds apart (a coarse timer may fire 5 % early).
    ASSERT_TRUE(QTest::qWaitFor([&] { return notifications == 5; }, 40000));
    EXPECT_EQ(states, std::vector<TailscaleState>(5, TailscaleState::off()));
    for (size_t i = 1; i < notifiedAt.size(); ++i)
        EXPECT_GE(notifiedAt[i] - notifiedAt[i - 1], std::chrono::milliseconds(5000)) << "retry " << i;

    writeTailnet(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return agent->tailscale().isOn(); }, 12000));
    EXPECT_EQ(agent->tailscale(), TailscaleState::on(QStringLiteral("me@example.com")));
    EXPECT_EQ(states.back(), agent->tailscale());

    // Whatever reaches the listener from this computer is this computer's own node.
    WsClient c;
    ASSERT_TRUE(c.open(QStringLiteral("ws://127.0.0.1:%1").arg(port)));
    ASSERT_TRUE(c.waitClosed());
    EXPECT_EQ(c.closeCode(), 4403);
    EXPECT_FALSE(agent->connectedDevice());
}

TEST_F(AgentBinding, ARenamedComputerIsShownAtTheNextPairingRefresh)
{
    // A host name of the test's own: namespaces belong to threads, and the agent runs on this one.
    // With no system bus the agent takes the computer's name from the host name.
    ASSERT_EQ(::unshare(CLONE_NEWUTS), 0) << "needs root to give the test a host name of its own";
    char original[256] = {};
    ASSERT_EQ(::gethostname(original, sizeof original - 1), 0);
    const auto rename = [](const char* name) { return ::sethostname(name, std::strlen(name)) == 0; };
    ASSERT_TRUE(rename("mac-one"));
    for (const char* name : {"REMOTE_AGENT_PAIRING_REFRESH_MS", "DBUS_SYSTEM_BUS_ADDRESS"})
        saved[name] = qgetenv(name);
    qputenv("REMOTE_AGENT_PAIRING_REFRESH_MS", "200");
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/system_bus_socket");
    writeTailnet(true);
    startAgent();
    const auto detailsName = [this] { return agent->details ? agent->details->name : QString(); };
    ASSERT_TRUE(QTest::qWaitFor([&] { return detailsName() == QLatin1String("mac-one"); }, 20000));

    QStringList notified;
    QObject::connect(agent.get(), &Agent::statusChanged, [&] { notified << detailsName(); });
    ASSERT_TRUE(rename("mac-two"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return detailsName() == QLatin1String("mac-two"); }, 20000));
    // The pairing window draws its code with the name it reads when told of a change.
    EXPECT_TRUE(notified.contains(QStringLiteral("mac-two"))) << notified.join(QLatin1Char(' ')).toStdString();
    EXPECT_TRUE(rename(original));
}

} // namespace
