// Keep-awake and lock state of the real agent against stand-ins for logind (system bus) and the
// desktop's screen saver (session bus), each on a bus of the test's own.
#include "AgentProcess.h"
#include "FakeLogind.h"
#include "PrivateBus.h"
#include "WsClient.h"

#include <QFile>
#include <QTest>

#include <gtest/gtest.h>

namespace {

constexpr int kWaitMs = 15000;

class Presence : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(system.address().isEmpty()) << "dbus-daemon did not start";
        ASSERT_FALSE(desktop.address().isEmpty()) << "dbus-daemon did not start";
        ASSERT_TRUE(logind.ok());
        ASSERT_TRUE(saver.ok());
        agent.setEnv(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), system.address());
        agent.setEnv(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), desktop.address());
        ASSERT_TRUE(agent.start());
        ASSERT_TRUE(agent.waitForLog(QStringLiteral("DEV MODE: listening")));
    }

    std::unique_ptr<WsClient> hello(bool takeover, QJsonObject* data = nullptr)
    {
        auto c = std::make_unique<WsClient>();
        EXPECT_TRUE(c->open(agent.url()));
        const QJsonObject reply =
            c->request(QStringLiteral("hello"), 1, {{QStringLiteral("takeover"), takeover}}, kWaitMs);
        EXPECT_EQ(reply.value(QStringLiteral("ok")), true);
        if (data)
            *data = reply.value(QStringLiteral("data")).toObject();
        return c;
    }

    // Both inhibitions, logind's and the screen saver's, held `n` times now.
    bool heldBoth(int n)
    {
        return QTest::qWaitFor([&] { return logind.held() == n && saver.held() == n; }, kWaitMs);
    }

    PrivateBus system;
    PrivateBus desktop;
    FakeLogind logind{system.address()};
    FakeScreenSaver saver{desktop.address()};
    AgentProcess agent;
};

QJsonObject nextStatus(WsClient& c)
{
    for (;;) {
        const auto message = c.next(kWaitMs);
        if (!message)
            return {};
        const QJsonObject o = parseJson(*message);
        if (o.value(QStringLiteral("type")) == QLatin1String("status.changed"))
            return o;
    }
}

// Times the main thread of the process has waited so far (a reply from the X server, a timer),
// -1 when unreadable.
qint64 waits(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("voluntary_ctxt_switches:"))
            return line.mid(24).trimmed().toLongLong();
    return -1;
}

enum class Ending { clientClose, kick, agentExit };

class KeepAwakeEnds : public Presence, public ::testing::WithParamInterface<Ending> { };

TEST_P(KeepAwakeEnds, InhibitionsHeldWhileTheSessionLivesAreReleasedWhenItEnds)
{
    auto first = hello(false);
    ASSERT_TRUE(heldBoth(1));
    switch (GetParam()) {
    case Ending::clientClose:
        first->socket().close();
        EXPECT_TRUE(heldBoth(0));
        break;
    case Ending::kick: {
        auto second = hello(true);
        EXPECT_TRUE(first->waitClosed(kWaitMs));
        // The replaced session's inhibitions went; the new session's stand.
        EXPECT_TRUE(QTest::qWaitFor([&] { return logind.taken() == 2; }, kWaitMs));
        EXPECT_TRUE(heldBoth(1));
        break;
    }
    case Ending::agentExit:
        agent.stop();
        EXPECT_TRUE(heldBoth(0));
        break;
    }
}

std::string endingName(const ::testing::TestParamInfo<Ending>& info)
{
    switch (info.param) {
    case Ending::clientClose:
        return "ClientClose";
    case Ending::kick:
        return "Kick";
    case Ending::agentExit:
        return "AgentExit";
    }
    return {};
}

INSTANTIATE_TEST_SUITE_P(Ways, KeepAwakeEnds, ::testing::Values(Ending::clientClose, Ending::kick, Ending::agentExit),
                         endingName);

TEST_F(Presence, LockChangesReachTheLiveSessionAndAHelloWhileLockedSaysLocked)
{
    auto first = hello(false);
    for (const bool locked : {true, false, true}) {
        logind.setLocked(locked);
        EXPECT_EQ(nextStatus(*first).value(QStringLiteral("locked")), locked);
    }
    QJsonObject data;
    auto second = hello(true, &data);
    EXPECT_EQ(data.value(QStringLiteral("locked")), true);
}

TEST(PresenceWithoutLogind, SessionsCarryOnUnlockedAndTheAbsenceIsLoggedOnce)
{
    PrivateBus empty;
    ASSERT_FALSE(empty.address().isEmpty()) << "dbus-daemon did not start";
    AgentProcess agent;
    agent.setEnv(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), empty.address());
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(agent.waitForLog(QStringLiteral("DEV MODE: listening")));
    for (int i = 0; i < 2; ++i) {
        WsClient c;
        ASSERT_TRUE(c.open(agent.url()));
        const QJsonObject reply = c.request(QStringLiteral("hello"), 1, {{QStringLiteral("takeover"), true}});
        EXPECT_EQ(reply.value(QStringLiteral("ok")), true);
        EXPECT_EQ(reply.value(QStringLiteral("data")).toObject().value(QStringLiteral("locked")), false);
    }
    EXPECT_EQ(agent.countLog(QStringLiteral("presence: no logind session (")), 1);
}

} // namespace

TEST_F(Presence, AnIdleAgentProbesThePermissionsOnlyNowAndThen)
{
    // Every probe opens an X connection of its own; polled without a pause, the agent would spend
    // its main thread on them. An upper bound only: a busy machine lets the agent make fewer calls.
    const qint64 before = waits(agent.pid());
    ASSERT_GE(before, 0) << "no context switch counts in /proc";
    QTest::qWait(3000);
    EXPECT_LT(waits(agent.pid()) - before, 1000) << agent.log().toStdString();
}
