#include "Log.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

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
