// Applications known by their processes, where GNOME shows the agent no windows: programs read
// from a stand-in for /proc.
#include "linux/mutter/ProcessWindows.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

using core::mutter::ProcessWindows;

TEST(ProcessWindows, EachProgramOfTheUserCountsOnceByItsLowestPid)
{
    QTemporaryDir proc;
    ASSERT_TRUE(proc.isValid());
    const struct {
        const char* dir;
        const char* exe; // empty: no link (a kernel thread, or another user's process)
    } entries[] = {
        {"300", "/usr/bin/gedit"}, {"120", "/usr/lib/firefox/firefox"}, {"45", "/usr/bin/gedit"},
        {"7", ""}, {"self", "/usr/bin/agent"}, {"1000", "/usr/bin/nautilus"},
    };
    for (const auto& e : entries) {
        const QString dir = proc.filePath(QLatin1String(e.dir));
        ASSERT_TRUE(QDir().mkpath(dir));
        if (*e.exe) {
            ASSERT_TRUE(QFile::link(QLatin1String(e.exe), dir + QStringLiteral("/exe")));
        }
    }
    const auto programs = ProcessWindows::programs(proc.path(), ::getuid());
    const std::vector<std::pair<qint32, QString>> want{
        {45, QStringLiteral("gedit")}, {120, QStringLiteral("firefox")}, {1000, QStringLiteral("nautilus")}};
    EXPECT_EQ(programs, want);
    EXPECT_TRUE(ProcessWindows::programs(proc.path(), ::getuid() + 1).empty()) << "another user's processes";
}
