#include "Log.h"

#include <QRegularExpression>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <thread>

#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace core;

TEST(Log, LineIsUtcStampSpaceMessageNewline)
{
    const QString line = QString::fromUtf8(logLine(QStringLiteral("x")));
    static const QRegularExpression shape(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z x\\n$"));
    EXPECT_TRUE(shape.match(line).hasMatch()) << line.toStdString();
}

TEST(Log, EmptyMessageKeepsTheSpace)
{
    const QByteArray line = logLine(QString());
    EXPECT_TRUE(line.endsWith("Z \n")) << line.constData();
}

TEST(Log, MultiLineMessageIsOneEntryWithOneStamp)
{
    const QByteArray line = logLine(QStringLiteral("a\nb"));
    EXPECT_TRUE(line.endsWith(" a\nb\n"));
    EXPECT_EQ(line.count('Z'), 1);
}

TEST(Log, StampIgnoresLocalTimeZone)
{
    qputenv("TZ", "Asia/Kathmandu");
    tzset();
    const QByteArray line = logLine(QStringLiteral("tz"));
    qunsetenv("TZ");
    tzset();
    EXPECT_EQ(line.indexOf("Z tz"), 23);
}

TEST(AgentError, TextIsTheMessageAlone)
{
    const AgentError e(QStringLiteral("no interface has 100.64.0.1"));
    EXPECT_EQ(e.description(), QStringLiteral("no interface has 100.64.0.1"));
    EXPECT_STREQ(e.what(), "no interface has 100.64.0.1");
    EXPECT_EQ(describe(e), e.description());
    EXPECT_EQ(AgentError(QStringLiteral("a")), AgentError(QStringLiteral("a")));
}

namespace {

// Standard error swapped for a pipe while the test runs.
class LogToPipe : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(::pipe(fds), 0);
        ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
        saved = ::dup(STDERR_FILENO);
        ASSERT_GE(saved, 0);
        ASSERT_GE(::dup2(fds[1], STDERR_FILENO), 0);
    }
    void TearDown() override
    {
        ::dup2(saved, STDERR_FILENO);
        ::close(saved);
        for (int fd : fds)
            if (fd >= 0)
                ::close(fd);
    }
    int fds[2] = {-1, -1};
    int saved = -1;
};

} // namespace

TEST_F(LogToPipe, TheWholeLineGoesToStandardError)
{
    log(QStringLiteral("to the pipe"));
    char buf[256] = {};
    const ssize_t n = ::read(fds[0], buf, sizeof buf);
    ASSERT_GT(n, 0);
    EXPECT_TRUE(QByteArray(buf, int(n)).endsWith(" to the pipe\n")) << buf;
}

TEST_F(LogToPipe, AWriteThatFailsDropsTheLine)
{
    // Nobody reads standard error any more: the line is lost, the caller goes on.
    const auto previous = std::signal(SIGPIPE, SIG_IGN);
    ::close(fds[0]);
    fds[0] = -1;
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread([done] {
        log(QStringLiteral("into the void"));
        *done = true;
    }).detach();
    EXPECT_TRUE(QTest::qWaitFor([&] { return done->load(); }, 15000));
    std::signal(SIGPIPE, previous);
}

TEST_F(LogToPipe, ALineCutShortByASignalIsFinished)
{
    // The pipe holds one byte less than the line: the writer blocks on the newline, and a signal then
    // ends its write() early with everything but the newline written.
    const int capacity = ::fcntl(fds[1], F_SETPIPE_SZ, 4096);
    ASSERT_GT(capacity, 0);
    static std::atomic<bool> woken;
    woken = false;
    struct sigaction wake = {};
    wake.sa_handler = [](int) { woken = true; };
    struct sigaction previous = {};
    ASSERT_EQ(::sigaction(SIGUSR1, &wake, &previous), 0);

    const qsizetype frame = logLine(QString()).size();
    const QString message(int(capacity + 1 - frame), QLatin1Char('x'));
    std::atomic<bool> done = false;
    std::thread writer([&] {
        log(message);
        done = true;
    });
    int queued = 0;
    EXPECT_TRUE(QTest::qWaitFor([&] { return ::ioctl(fds[0], FIONREAD, &queued) == 0 && queued == capacity; }, 15000));
    ::pthread_kill(writer.native_handle(), SIGUSR1);
    // The handler runs as write() returns; reading before that would let the write finish whole.
    EXPECT_TRUE(QTest::qWaitFor([&] { return woken.load(); }, 15000));

    QByteArray got;
    EXPECT_TRUE(QTest::qWaitFor([&] {
        const bool finished = done.load(); // read after it, so the last bytes are in
        char buf[8192];
        for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
            got.append(buf, n);
        return finished;
    }, 15000));
    writer.join();
    ::sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(got.size(), capacity + 1);
    EXPECT_TRUE(got.endsWith(" " + message.toUtf8() + "\n"));
}
