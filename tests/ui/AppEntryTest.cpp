// The installed program's entry: its version and help, and one agent per user and home.
#include "Agent.h"
#include "AgentProcess.h"

#include <QProcess>

#include <gtest/gtest.h>

namespace {

// Waits (up to 30 s) for a mapped top-level window of `pid` titled "Dorvane": the pairing window.
bool pairingWindowAppears(qint64 pid)
{
    QProcess search;
    search.start(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--sync"), QStringLiteral("--onlyvisible"),
                                             QStringLiteral("--pid"), QString::number(pid), QStringLiteral("--name"),
                                             QStringLiteral("^Dorvane$")});
    const bool found = search.waitForFinished(30000) && search.exitCode() == 0;
    search.kill();
    return found;
}

} // namespace

TEST(AppEntry, VersionAndHelpPrintAndExit)
{
    const struct {
        const char* arg;
        QString starts;
    } rows[] = {{"--version", "remote-agent " + core::Agent::version + "\n"}, {"--help", "Usage: remote-agent [--dev]"}};
    for (const auto& row : rows) {
        QProcess p;
        p.start(QStringLiteral(AGENT_BINARY), {QLatin1String(row.arg)});
        ASSERT_TRUE(p.waitForFinished(30000)) << row.arg;
        EXPECT_EQ(p.exitCode(), 0) << row.arg;
        EXPECT_TRUE(QString::fromUtf8(p.readAllStandardOutput()).startsWith(row.starts)) << row.arg;
    }
}

TEST(AppEntry, SecondLaunchShowsTheRunningAgentsWindowAndEnds)
{
    AgentProcess agent;
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(agent.waitForLog(QStringLiteral("DEV MODE")));

    QProcess second;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), agent.home());
    second.setProcessEnvironment(env);
    second.start(QStringLiteral(AGENT_BINARY), {QStringLiteral("--dev")});
    ASSERT_TRUE(second.waitForFinished(30000));
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(second.readAllStandardError().contains("asked the running agent to show its pairing window"));
    EXPECT_TRUE(agent.waitForLog(QStringLiteral("second launch: showing the pairing window")));
    EXPECT_TRUE(pairingWindowAppears(agent.pid()));
    EXPECT_TRUE(agent.running());
}

TEST(AppEntry, UnpairedAgentOpensThePairingWindowAtStart)
{
    AgentProcess agent;
    ASSERT_TRUE(agent.start({}));
    EXPECT_TRUE(pairingWindowAppears(agent.pid()));
}
