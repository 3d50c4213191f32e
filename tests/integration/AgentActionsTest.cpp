// "actions.list" and "action.run" against the real agent: custom commands in the login shell, and
// the built-ins reaching a logind stand-in on a private bus, a stand-in wpctl and an X client.
#include "AgentProcess.h"
#include "CloseCodes.h"
#include "InputProbe.h"
#include "FakeLogind.h"
#include "PrivateBus.h"
#include "WsClient.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <QDirIterator>

#include <csignal>
#include <sys/stat.h>

namespace {

class AgentActions : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(xvfb.running()) << "Xvfb did not start (scripts/setup installs it)";
        ASSERT_FALSE(system.address().isEmpty()) << "dbus-daemon could not serve a private bus";
        ASSERT_TRUE(logind.ok()) << "the logind stand-in could not take its name";
        ASSERT_TRUE(QDir().mkpath(dir.filePath(QStringLiteral("bin"))));
        QFile wpctl(dir.filePath(QStringLiteral("bin/wpctl")));
        ASSERT_TRUE(wpctl.open(QIODevice::WriteOnly));
        wpctl.write(QStringLiteral("#!/bin/sh\necho \"$@\" > '%1'\n").arg(dir.filePath(QStringLiteral("wpctl.args"))).toUtf8());
        wpctl.close();
        ASSERT_EQ(::chmod(QFile::encodeName(wpctl.fileName()).constData(), 0755), 0);

        agent.setEnv(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), system.address());
        agent.setEnv(QStringLiteral("XDG_SESSION_ID"), QStringLiteral("c7"));
        agent.setEnv(QStringLiteral("PATH"), dir.filePath(QStringLiteral("bin")) + QLatin1Char(':') + qEnvironmentVariable("PATH"));
        const QString d = dir.path();
        QJsonArray actions;
        for (const auto& [id, run] : std::initializer_list<std::pair<QString, QString>>{
                 {QStringLiteral("fail3"), QStringLiteral("exit 3")},
                 {QStringLiteral("slow"), QStringLiteral("echo $$ > '%1/slow.started'; sleep 1; touch '%1/slow.done'").arg(d)},
                 {QStringLiteral("stuck"), QStringLiteral("sleep 600 & echo $! > '%1/stuck.pid'; wait").arg(d)},
             })
            actions.append(QJsonObject{{QStringLiteral("id"), id}, {QStringLiteral("name"), id.toUpper()}, {QStringLiteral("run"), run}});
        agent.writeConfig(
            QJsonDocument(QJsonObject{{QStringLiteral("port"), freePortPair()}, {QStringLiteral("actions"), actions}}).toJson());
        ASSERT_TRUE(agent.start());
        ASSERT_TRUE(agent.waitForLog(QStringLiteral("DEV MODE: listening"))) << agent.log().toStdString();
        client = liveClient();
    }

    std::unique_ptr<WsClient> liveClient()
    {
        auto c = std::make_unique<WsClient>();
        EXPECT_TRUE(c->open(agent.url()));
        EXPECT_EQ(c->request(QStringLiteral("hello"), 1, {{QStringLiteral("takeover"), true}}).value(QStringLiteral("ok")), true);
        return c;
    }
    QJsonObject run(const QString& action, std::optional<int> value = std::nullopt, int timeoutMs = 15000)
    {
        QJsonObject params{{QStringLiteral("action"), action}};
        if (value)
            params.insert(QStringLiteral("value"), *value);
        return client->request(QStringLiteral("action.run"), ++id, params, timeoutMs);
    }
    QString fileText(const QString& name)
    {
        QFile f(dir.filePath(name));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).trimmed() : QString();
    }

    PrivateXvfb xvfb;
    PrivateBus system;
    FakeLogind logind{system.address()};
    QTemporaryDir dir;
    AgentProcess agent;
    std::unique_ptr<WsClient> client;
    qint64 id = 1;
};

bool endedProcess(const QString& pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    return !stat.open(QIODevice::ReadOnly) || stat.readAll().contains(") Z ");
}

// The process group of a process, from its stat line; 0 when it is gone.
qint64 groupOf(const QString& pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 2 ? fields[2].toLongLong() : 0;
}

// Whether a process other than a zombie is still in the group.
bool groupLives(qint64 group)
{
    for (QDirIterator it(QStringLiteral("/proc"), QDir::Dirs | QDir::NoDotAndDotDot); it.hasNext();) {
        const QString pid = it.next().section(QLatin1Char('/'), -1);
        if (pid.toLongLong() > 0 && groupOf(pid) == group && !endedProcess(pid))
            return true;
    }
    return false;
}

TEST_F(AgentActions, ListsAndRunsCustomActions)
{
    const QJsonObject list = client->request(QStringLiteral("actions.list"), ++id);
    QStringList ids;
    for (const QJsonValue& a : list.value(QStringLiteral("data")).toArray())
        ids << a[QStringLiteral("id")].toString() + (a[QStringLiteral("builtin")].toBool() ? QStringLiteral("*") : QString());
    EXPECT_EQ(ids.join(QLatin1Char(' ')),
              QStringLiteral("fail3 slow stuck lock* display.sleep* sleep* volume.up* volume.down* volume.mute* "
                             "volume.set* media.playpause* media.next* media.prev*"));

    const QJsonObject done = run(QStringLiteral("fail3"));
    EXPECT_EQ(done.value(QStringLiteral("data")).toObject(), (QJsonObject{{QStringLiteral("exitCode"), 3}, {QStringLiteral("output"), QString()}}));
    EXPECT_EQ(run(QStringLiteral("nope")).value(QStringLiteral("error")), QStringLiteral("unknown action \"nope\""));
}

// Each built-in is answered before it acts, then reaches the system.
TEST_F(AgentActions, BuiltinsAnswerFirstThenAct)
{
    InputProbe probe(rootArea());
    ASSERT_TRUE(probe.ready()) << "input-probe did not come up";
    const QString wpctlArgs = QStringLiteral("wpctl.args");
    const struct {
        QString action;
        std::optional<int> value;
        std::function<bool()> acted;
    } rows[] = {
        {QStringLiteral("lock"), std::nullopt, [&] { return logind.calls.contains(QStringLiteral("LockSession c7")); }},
        {QStringLiteral("sleep"), std::nullopt, [&] { return logind.calls.contains(QStringLiteral("Suspend false")); }},
        {QStringLiteral("volume.set"), 40,
         [&] { return fileText(wpctlArgs) == QStringLiteral("set-volume @DEFAULT_AUDIO_SINK@ 40%"); }},
        // Xvfb and the dummy Xorg have no DPMS here: what is checked is that the request gets there.
        {QStringLiteral("display.sleep"), std::nullopt,
         [&] { return agent.log().contains(QStringLiteral("actions: display.sleep: the X server has no DPMS")); }},
    };
    for (const auto& row : rows) {
        const QJsonObject reply = run(row.action, row.value);
        EXPECT_EQ(reply.value(QStringLiteral("ok")), true) << row.action.toStdString();
        EXPECT_FALSE(row.acted()) << row.action.toStdString() << " acted before the reply";
        EXPECT_TRUE(QTest::qWaitFor(row.acted, 10000)) << row.action.toStdString() << ": " << logind.calls.join(' ').toStdString();
    }

    const std::pair<QString, unsigned> keys[] = {
        {QStringLiteral("volume.up"), 0x1008FF13},      {QStringLiteral("volume.down"), 0x1008FF11},
        {QStringLiteral("volume.mute"), 0x1008FF12},    {QStringLiteral("media.playpause"), 0x1008FF14},
        {QStringLiteral("media.next"), 0x1008FF17},     {QStringLiteral("media.prev"), 0x1008FF16},
    };
    for (const auto& [action, keysym] : keys) {
        EXPECT_EQ(run(action, 5).value(QStringLiteral("ok")), true) << action.toStdString();
        EXPECT_TRUE(probe.waitFor([&](const InputProbe::Event& e) {
            return e.kind == QLatin1String("keyup") && e.hex(0) == keysym;
        })) << action.toStdString();
    }
}

// A session that ends while its command runs gets no answer, and the agent carries on; the
// agent's end ends a command still running, and what the command left in the background.
TEST_F(AgentActions, RunningCommandsOutliveTheirSessionButNotTheAgent)
{
    client->sendText(R"({"type":"action.run","id":50,"action":"slow"})");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !fileText(QStringLiteral("slow.started")).isEmpty(); }, 15000));
    client.reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(dir.filePath(QStringLiteral("slow.done"))); }, 15000));
    client = liveClient();
    EXPECT_EQ(run(QStringLiteral("fail3")).value(QStringLiteral("ok")), true);

    client->sendText(R"({"type":"action.run","id":60,"action":"stuck"})");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !fileText(QStringLiteral("stuck.pid")).isEmpty(); }, 15000));
    const QString left = fileText(QStringLiteral("stuck.pid"));
    agent.stop();
    EXPECT_TRUE(QTest::qWaitFor([&] { return endedProcess(left); }, 10000)) << "pid " << left.toStdString();
}

// Asked to end by any of the usual signals, the agent quits in order: the client hears why, the
// commands it runs end with their groups, and the exit status says all went well.
class AgentQuits : public AgentActions, public ::testing::WithParamInterface<int> {};

TEST_P(AgentQuits, OnSignalClosingSessionsAndCommands)
{
    client->sendText(R"({"type":"action.run","id":60,"action":"stuck"})");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !fileText(QStringLiteral("stuck.pid")).isEmpty(); }, 15000));
    const qint64 group = groupOf(fileText(QStringLiteral("stuck.pid")));
    ASSERT_GT(group, 0);

    agent.signal(GetParam());
    ASSERT_TRUE(agent.waitForExit(60000)) << agent.log().toStdString();
    EXPECT_FALSE(agent.crashed()) << agent.log().toStdString();
    EXPECT_EQ(agent.exitCode(), 0) << agent.log().toStdString();
    EXPECT_TRUE(client->waitClosed());
    EXPECT_EQ(client->closeCode(), core::Close::agentQuit.code);
    EXPECT_EQ(client->closeReason(), core::Close::agentQuit.reason);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !groupLives(group); }, 10000)) << "group " << group;
}

INSTANTIATE_TEST_SUITE_P(Signals, AgentQuits, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& info) { return std::string(sigabbrev_np(info.param)); });

} // namespace
