// Windows of a GNOME session as its shell shows them (org.gnome.Shell.Introspect), against a
// stand-in shell on a private session bus that answers, refuses or says nothing; processes from
// a stand-in for /proc, applications from the system's xterm entries.
#include "Apps.h"
#include "FakeGnomeSession.h"
#include "PrivateBus.h"
#include "linux/DesktopEntries.h"
#include "linux/mutter/GnomeShellWindows.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QUuid>

#include <gtest/gtest.h>

#include <unistd.h>

using namespace core;
using Mode = FakeShellIntrospect::Mode;

namespace {

// One line per application: id, pid, state and its windows.
std::vector<std::string> described(const std::vector<Apps::Running>& apps)
{
    std::vector<std::string> out;
    for (const Apps::Running& app : apps) {
        QString line = app.info.bundleId + QStringLiteral(" %1").arg(app.info.pid) + (app.info.active ? QStringLiteral(" active") : QString())
            + (app.info.hidden ? QStringLiteral(" hidden") : QString()) + QStringLiteral(" [");
        for (const WindowInfo& w : app.info.windows)
            line += QStringLiteral("%1 %2x%3;").arg(w.title).arg(w.width).arg(w.height);
        out.push_back((line + QLatin1Char(']')).toStdString());
    }
    return out;
}

} // namespace

TEST(GnomeWindows, ListedFromTheShellWhenItAnswersElseWithoutWindowsAndNotAskedAgain)
{
    PrivateBus bus;
    ASSERT_FALSE(bus.address().isEmpty()) << "dbus-daemon did not start";
    FakeGnomeSession gnome(bus.address());
    ASSERT_TRUE(gnome.ok());
    const QString name = QUuid::createUuid().toString();
    QDBusConnection connection = QDBusConnection::connectToBus(bus.address(), name);

    QTemporaryDir proc;
    for (const auto& [pid, exe] : {std::pair{"41", "/usr/bin/xterm"}, std::pair{"52", "/usr/bin/uxterm"}}) {
        ASSERT_TRUE(QDir().mkpath(proc.filePath(QLatin1String(pid))));
        ASSERT_TRUE(QFile::link(QLatin1String(exe), proc.filePath(QLatin1String(pid)) + QStringLiteral("/exe")));
    }
    const auto entry = [](const QVariantMap& more) {
        QVariantMap p{{QStringLiteral("client-type"), 0u}, {QStringLiteral("is-hidden"), false}, {QStringLiteral("has-focus"), false}};
        p.insert(more);
        return p;
    };
    gnome.introspect().setWindows({
        {0x100000001ull, entry({{QStringLiteral("app-id"), QStringLiteral("debian-xterm.desktop")}, {QStringLiteral("title"), QStringLiteral("shell")},
                                {QStringLiteral("width"), 800u}, {QStringLiteral("height"), 600u}, {QStringLiteral("has-focus"), true}})},
        {0x100000002ull, entry({{QStringLiteral("app-id"), QStringLiteral("debian-uxterm.desktop")}, {QStringLiteral("title"), QStringLiteral("notes")},
                                {QStringLiteral("width"), 640u}, {QStringLiteral("height"), 480u}, {QStringLiteral("is-hidden"), true}})},
        // A window of no known application.
        {7ull, entry({{QStringLiteral("app-id"), QStringLiteral("window:7")}, {QStringLiteral("title"), QStringLiteral("stray")},
                      {QStringLiteral("width"), 300u}, {QStringLiteral("height"), 200u}})},
    });
    const std::vector<Apps::DesktopEntry> entries = os::DesktopEntries::shown();
    for (const char* id : {"debian-xterm.desktop", "debian-uxterm.desktop"})
        ASSERT_TRUE(std::any_of(entries.begin(), entries.end(), [&](const auto& e) { return e.id == QLatin1String(id); }))
            << id << " is not installed (xterm)";
    DisplayInfo display;
    display.width = 1920;
    display.height = 1080;
    display.isMain = true;

    const std::vector<std::string> withoutWindows{"debian-uxterm.desktop 52 []", "debian-xterm.desktop 41 []"};
    const struct {
        const char* name;
        Mode mode;
        std::vector<std::string> want;
        int askedTwice; // how often the shell is asked for two lists
    } rows[] = {
        {"the shell answers", Mode::answer,
         {"debian-uxterm.desktop 52 hidden [notes 640x480;]", "debian-xterm.desktop 41 active [shell 800x600;]"}, 2},
        {"the shell refuses", Mode::refuse, withoutWindows, 1},
        {"the shell says nothing", Mode::silent, withoutWindows, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        gnome.introspect().mode = row.mode;
        gnome.introspect().asked = 0;
        mutter::GnomeShellWindows windows(connection, proc.path(), ::getuid());
        for (int i = 0; i < 2; ++i) {
            const std::vector<TopWindow> listed = windows.windows();
            EXPECT_EQ(described(Apps::running(listed, windows.activeWindow(), entries, {display}, 0)), row.want);
        }
        EXPECT_EQ(gnome.introspect().asked, row.askedTwice);
    }
    QDBusConnection::disconnectFromBus(name);
}
