// Custom commands through the real login shell: output tails, exit codes, time limits and what a
// command leaves running.
#include "linux/ShellRunner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

using namespace core;
using namespace std::chrono_literals;

namespace {

// A process that is gone, or a zombie nobody reaps yet: ended either way.
bool ended(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    return close < 0 || line.mid(close + 2, 1) == "Z";
}

class ShellRunnerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tmp.isValid());
        previousTmp = qgetenv("TMPDIR");
        qputenv("TMPDIR", tmp.filePath(QStringLiteral("out")).toUtf8());
        ASSERT_TRUE(QDir().mkpath(tmp.filePath(QStringLiteral("out"))));
    }
    void TearDown() override { qputenv("TMPDIR", previousTmp); }

    std::future<ShellResult> start(const QString& command, std::chrono::milliseconds timeout, qsizetype tail = 4096)
    {
        auto promise = std::make_shared<std::promise<ShellResult>>();
        auto result = promise->get_future();
        runner->run(command, timeout, tail, [promise](const ShellResult& r) { promise->set_value(r); });
        return result;
    }
    ShellResult run(const QString& command, std::chrono::milliseconds timeout = 60s, qsizetype tail = 4096)
    {
        return start(command, timeout, tail).get();
    }
    // The pid a command wrote to `name`, once it did.
    pid_t pidIn(const QString& name)
    {
        QFile file(tmp.filePath(name));
        pid_t pid = 0;
        const bool written = QTest::qWaitFor([&] {
            if (file.open(QIODevice::ReadOnly)) {
                pid = file.readAll().trimmed().toInt();
                file.close();
            }
            return pid > 0;
        }, 10000);
        return written ? pid : 0;
    }

    QTemporaryDir tmp;
    QByteArray previousTmp;
    std::unique_ptr<os::ShellRunner> runner = std::make_unique<os::ShellRunner>();
};

TEST_F(ShellRunnerTest, ExitStatusAndOutputTail)
{
    QByteArray tenThousand; // 1000 numbered lines of 10 bytes
    for (int i = 0; i < 1000; ++i)
        tenThousand += QByteArray::number(i).rightJustified(9, '0') + '\n';
    const struct {
        const char* name;
        QString command;
        qsizetype tail;
        qint32 exitCode;
        QString output;
    } rows[] = {
        {"silent failure", QStringLiteral("exit 3"), 4096, 3, QString()},
        {"both streams, in order", QStringLiteral("echo out; echo err >&2; exit 1"), 4096, 1, QStringLiteral("out\nerr\n")},
        {"long output keeps its end",
         QStringLiteral("i=0; while [ $i -lt 1000 ]; do printf '%09d\\n' $i; i=$((i+1)); done"), 4096, 0,
         QString::fromLatin1(tenThousand.right(4096))},
        {"a character cut by the tail", QStringLiteral("printf '\\303\\251abc'"), 4, 0, QStringLiteral("\uFFFDabc")},
        {"killed by a signal", QStringLiteral("kill -9 $$"), 4096, 9, QString()},
    };
    for (const auto& row : rows) {
        const ShellResult r = run(row.command, 60s, row.tail);
        EXPECT_EQ(r.exitCode, row.exitCode) << row.name;
        EXPECT_EQ(r.output, row.output) << row.name;
        EXPECT_FALSE(r.timedOut) << row.name;
    }
    // The output files are never seen in the temporary directory, let alone left there.
    EXPECT_EQ(QDir(tmp.filePath(QStringLiteral("out"))).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
}

// Each row leaves a process behind in the command's group and writes its pid to "left"; after
// the time limit nothing of the group may remain, whether or not it heeds SIGTERM.
TEST_F(ShellRunnerTest, TimedOutCommandLeavesNothingRunning)
{
    const struct {
        const char* name;
        QString command;
    } rows[] = {
        {"shell ignores SIGTERM", QStringLiteral("trap '' TERM; sleep 600 & echo $! > left; while :; do sleep 1; done")},
        {"background child ignores SIGTERM", QStringLiteral("(trap '' TERM; exec sleep 600) & echo $! > left; wait")},
        {"plain background child", QStringLiteral("sleep 600 & echo $! > left; wait")},
    };
    // sh starts in a blink where a login bash may take a second on a loaded machine: the commands
    // reach their `echo` well within the limit.
    runner = std::make_unique<os::ShellRunner>("/bin/sh");
    for (const auto& row : rows) {
        QFile::remove(tmp.filePath(QStringLiteral("left")));
        const ShellResult r = run(QStringLiteral("cd '%1' && { %2; }").arg(tmp.path(), row.command), 3s);
        EXPECT_TRUE(r.timedOut) << row.name;
        const pid_t left = pidIn(QStringLiteral("left"));
        ASSERT_GT(left, 0) << row.name;
        EXPECT_TRUE(QTest::qWaitFor([&] { return ended(left); }, 10000)) << row.name;
    }
}

TEST_F(ShellRunnerTest, CommandsRunSideBySide)
{
    // Each half of the pipe blocks until the other runs: both finish only when run at once.
    const QString fifo = tmp.filePath(QStringLiteral("fifo"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    auto reader = start(QStringLiteral("cat '%1'").arg(fifo), 60s);
    auto writer = start(QStringLiteral("echo met > '%1'").arg(fifo), 60s);
    EXPECT_EQ(writer.get().exitCode, 0);
    EXPECT_EQ(reader.get().output, QStringLiteral("met\n"));
}

TEST_F(ShellRunnerTest, DestroyingTheRunnerEndsRunningCommands)
{
    auto result = start(QStringLiteral("sleep 600 & echo $! > '%1/left'; wait").arg(tmp.path()), 600s);
    const pid_t left = pidIn(QStringLiteral("left"));
    ASSERT_GT(left, 0);
    runner.reset();
    ASSERT_EQ(result.wait_for(0s), std::future_status::ready) << "done must have run before the runner went";
    EXPECT_EQ(result.get().exitCode, SIGKILL);
    EXPECT_TRUE(QTest::qWaitFor([&] { return ended(left); }, 10000));
}

// A process that does not handle SIGTERM itself (the agent does) still takes its commands' groups
// with it when the signal ends it. The dying process is a fresh run of this test; the TMPDIR it
// inherits is this run's output folder, where it leaves the command's pid.
TEST_F(ShellRunnerTest, DeathBySigtermEndsRunningCommands)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const bool dying = !GTEST_FLAG_GET(internal_run_death_test).empty();
    const QString left = (dying ? QString::fromLocal8Bit(previousTmp) : tmp.filePath(QStringLiteral("out")))
                         + QStringLiteral("/left");
    EXPECT_EXIT(
        {
            auto result = start(QStringLiteral("sleep 600 & echo $! > '%1'; wait").arg(left), 600s);
            if (!QTest::qWaitFor([&] { return QFileInfo(left).size() > 0; }, 10000))
                std::exit(1);
            ::raise(SIGTERM);
        },
        ::testing::KilledBySignal(SIGTERM), "");
    QFile file(left);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const pid_t pid = file.readAll().trimmed().toInt();
    file.remove();
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return ended(pid); }, 10000)) << pid;
}

} // namespace
