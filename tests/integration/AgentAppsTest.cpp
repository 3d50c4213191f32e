#include "AgentProcess.h"
#include "WsClient.h"
#include "XServerFixture.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>

#include <functional>

namespace {

void write(const QString& path, const QString& text)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text.toUtf8());
}

QString entry(const QString& body)
{
    return QStringLiteral("[Desktop Entry]\n") + body + QStringLiteral("\n");
}

// The real agent on an Xorg dummy server with openbox and two monitors, DUMMY0 (1920x1080) and
// SIDE to its right; desktop entries in a private XDG_DATA_HOME and XDG_DATA_DIRS; German names.
class AgentAppsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(x.start({1920, 1080}, {3840, 1080}));
        ASSERT_TRUE(x.addMonitor(QStringLiteral("SIDE"), QRect(1920, 0, 1920, 1080)));
        const QString home = data.filePath(QStringLiteral("home/applications/"));
        const QString sys = data.filePath(QStringLiteral("sys/applications/"));
        write(home + QStringLiteral("app-probe.desktop"),
              entry(QStringLiteral("Type=Application\nName=Probe Test\nName[de]=Sonde\nExec=%1 400x300+2200+100:Probe\n"
                                   "StartupWMClass=AppProbe\nStartupNotify=true")
                        .arg(QStringLiteral(APP_PROBE))));
        write(home + QStringLiteral("dup.desktop"), entry(QStringLiteral("Type=Application\nName=Home Copy\nExec=true")));
        write(sys + QStringLiteral("dup.desktop"), entry(QStringLiteral("Type=Application\nName=System Copy\nExec=true")));
        write(sys + QStringLiteral("a.desktop"), entry(QStringLiteral("Type=Application\nName=alpha\nExec=true")));
        write(sys + QStringLiteral("quiet.desktop"), entry(QStringLiteral("Type=Application\nName=Quiet\nExec=true\nNoDisplay=true")));
        write(sys + QStringLiteral("gone.desktop"), entry(QStringLiteral("Type=Application\nName=Gone\nExec=true\nHidden=true")));
        write(sys + QStringLiteral("link.desktop"), entry(QStringLiteral("Type=Link\nName=Link\nURL=http://127.0.0.1/")));
        agent.setEnv(QStringLiteral("XDG_DATA_HOME"), data.filePath(QStringLiteral("home")));
        agent.setEnv(QStringLiteral("XDG_DATA_DIRS"), data.filePath(QStringLiteral("sys")));
        agent.setEnv(QStringLiteral("LANGUAGE"), QStringLiteral("de"));
        ASSERT_TRUE(agent.start());
        ASSERT_TRUE(agent.waitForLog(QStringLiteral("listening")));
        ASSERT_TRUE(client.open(agent.url()));
        ASSERT_TRUE(client.request(QStringLiteral("hello"), 1).value(QStringLiteral("ok")).toBool()) << agent.log().toStdString();
    }

    // Starts a client and waits for the apps.changed event that lists it.
    QJsonObject startApp(QProcess& p, const QString& program, const QStringList& args)
    {
        p.start(program, args);
        EXPECT_TRUE(p.waitForStarted(5000)) << program.toStdString();
        return appsChanged([&](const QJsonObject& a) { return a.value(QStringLiteral("pid")).toInteger() == p.processId(); });
    }

    // The applications of the next "apps.changed" event.
    std::optional<QJsonArray> nextApps()
    {
        while (auto m = client.next(10000)) {
            const QJsonObject o = parseJson(*m);
            if (o.value(QStringLiteral("type")).toString() == QStringLiteral("apps.changed"))
                return o.value(QStringLiteral("apps")).toArray();
        }
        ADD_FAILURE() << "no apps.changed event\n" << agent.log().toStdString();
        return std::nullopt;
    }

    // The first application that satisfies `wanted` in the next "apps.changed" events.
    QJsonObject appsChanged(const std::function<bool(const QJsonObject&)>& wanted)
    {
        while (const auto apps = nextApps())
            for (const auto& a : *apps)
                if (wanted(a.toObject()))
                    return a.toObject();
        return {};
    }

    QJsonObject request(const QString& type, const QJsonObject& params = {}) { return client.request(type, ++id, params); }

    XServerFixture x;
    QTemporaryDir data;
    AgentProcess agent;
    WsClient client;
    QProcess probe, term;
    qint64 id = 1;
};

QStringList field(const QJsonArray& list, const char* key)
{
    QStringList out;
    for (const auto& v : list)
        out << v.toObject().value(QLatin1String(key)).toVariant().toString();
    return out;
}

bool pidIs(const QJsonObject& app, qint64 pid) { return app.value(QStringLiteral("pid")).toInteger() == pid; }

} // namespace

TEST_F(AgentAppsTest, ListsAppsWithIconsOnceAndWindowsOnTheirDisplays)
{
    const QJsonObject first = startApp(probe, QStringLiteral(APP_PROBE),
                                       {QStringLiteral("400x300+2200+100:Probe"), QStringLiteral("40x300+100+100:narrow"),
                                        QStringLiteral("200x200+300+100:")});
    startApp(term, QStringLiteral("xterm"), {QStringLiteral("-geometry"), QStringLiteral("80x24+50+50")});

    const QImage icon = QImage::fromData(QByteArray::fromBase64(first.value(QStringLiteral("icon")).toString().toLatin1()), "PNG");
    ASSERT_EQ(icon.size(), QSize(64, 64));
    EXPECT_EQ(icon.pixel(32, 32), 0xffff0000);

    const QJsonObject list = request(QStringLiteral("apps.list"));
    ASSERT_TRUE(list.value(QStringLiteral("ok")).toBool());
    const QJsonArray apps = list.value(QStringLiteral("data")).toArray();
    EXPECT_EQ(field(apps, "name"), (QStringList{QStringLiteral("Sonde"), QStringLiteral("XTerm")}));
    EXPECT_EQ(field(apps, "bundleId"),
              (QStringList{QStringLiteral("app-probe.desktop"), QStringLiteral("pid:%1").arg(term.processId())}));
    EXPECT_EQ(field(apps, "icon"), (QStringList{QString(), QString()})) << "icons went out with apps.changed already";

    const QJsonArray windows = apps.at(0).toObject().value(QStringLiteral("windows")).toArray();
    ASSERT_EQ(field(windows, "title"), QStringList{QStringLiteral("Probe")});
    const QJsonObject w = windows.at(0).toObject();
    EXPECT_EQ(w.value(QStringLiteral("displayId")).toInteger(), x.atom(QStringLiteral("SIDE")));
    EXPECT_EQ(w.value(QStringLiteral("width")).toDouble(), 400);
    EXPECT_EQ(w.value(QStringLiteral("height")).toDouble(), 300);
    EXPECT_GE(w.value(QStringLiteral("x")).toDouble(), 2200);
}

TEST_F(AgentAppsTest, InstalledListsShownEntriesFirstDirectoryWinningByName)
{
    const QJsonObject r = request(QStringLiteral("apps.installed"));
    ASSERT_TRUE(r.value(QStringLiteral("ok")).toBool());
    const QJsonArray apps = r.value(QStringLiteral("data")).toArray();
    EXPECT_EQ(field(apps, "name"), (QStringList{QStringLiteral("alpha"), QStringLiteral("Home Copy"), QStringLiteral("Sonde")}));
    EXPECT_EQ(field(apps, "bundleId"),
              (QStringList{QStringLiteral("a.desktop"), QStringLiteral("dup.desktop"), QStringLiteral("app-probe.desktop")}));
}

TEST_F(AgentAppsTest, LaunchStartsTheEntryByIdOrSaysItIsNotInstalled)
{
    EXPECT_EQ(request(QStringLiteral("app.launch"), {{QStringLiteral("bundleId"), QStringLiteral("nope.desktop")}})
                  .value(QStringLiteral("error")).toString(),
              QStringLiteral("not installed: nope.desktop"));
    ASSERT_TRUE(request(QStringLiteral("app.launch"), {{QStringLiteral("bundleId"), QStringLiteral("app-probe.desktop")}})
                    .value(QStringLiteral("ok")).toBool());
    const QJsonObject launched = appsChanged([](const QJsonObject& a) {
        return a.value(QStringLiteral("bundleId")).toString() == QStringLiteral("app-probe.desktop");
    });
    EXPECT_EQ(field(launched.value(QStringLiteral("windows")).toArray(), "title"), QStringList{QStringLiteral("Probe")});
    const quint32 window = quint32(launched.value(QStringLiteral("windows")).toArray().at(0).toObject().value(QStringLiteral("id")).toInteger());
    EXPECT_TRUE(x.windowText(window, QStringLiteral("_NET_STARTUP_ID")).startsWith(QStringLiteral("remote-agent-")))
        << "launched without a startup notification id";
    // Leaves nothing behind: the launched probe is asked to go.
    const qint64 pid = launched.value(QStringLiteral("pid")).toInteger();
    ASSERT_TRUE(request(QStringLiteral("app.quit"), {{QStringLiteral("pid"), pid}}).value(QStringLiteral("ok")).toBool());
    while (const auto apps = nextApps())
        if (apps->isEmpty())
            break;
}

TEST_F(AgentAppsTest, HideThenFocusEachGiveOneEventAndWindowFocusNamesTheDisplay)
{
    const qint64 pid = startApp(probe, QStringLiteral(APP_PROBE), {QStringLiteral("400x300+2200+100:Probe")})
                           .value(QStringLiteral("pid")).toInteger();
    EXPECT_TRUE(client.quiet(800));

    ASSERT_TRUE(request(QStringLiteral("app.hide"), {{QStringLiteral("pid"), pid}}).value(QStringLiteral("ok")).toBool());
    appsChanged([&](const QJsonObject& a) { return pidIs(a, pid) && a.value(QStringLiteral("hidden")).toBool(); });
    EXPECT_TRUE(client.quiet(800)) << "one burst, one event";

    ASSERT_TRUE(request(QStringLiteral("app.focus"), {{QStringLiteral("pid"), pid}}).value(QStringLiteral("ok")).toBool());
    const QJsonObject shown = appsChanged([&](const QJsonObject& a) {
        return pidIs(a, pid) && !a.value(QStringLiteral("hidden")).toBool() && a.value(QStringLiteral("active")).toBool();
    });
    EXPECT_TRUE(client.quiet(800));

    const qint64 window = shown.value(QStringLiteral("windows")).toArray().at(0).toObject().value(QStringLiteral("id")).toInteger();
    const QJsonObject r = request(QStringLiteral("window.focus"), {{QStringLiteral("windowId"), window}});
    EXPECT_EQ(r.value(QStringLiteral("data")).toObject().value(QStringLiteral("displayId")).toInteger(), x.atom(QStringLiteral("SIDE")));
}

TEST_F(AgentAppsTest, QuitClosesPolitelyOrKills)
{
    struct Row {
        QProcess* process;
        QString program;
        QStringList args;
        bool force;
        QProcess::ExitStatus exit;
    } rows[] = {
        {&probe, QStringLiteral(APP_PROBE), {QStringLiteral("300x300+100+100:Polite")}, false, QProcess::NormalExit},
        {&term, QStringLiteral("xterm"), {}, true, QProcess::CrashExit},
    };
    for (Row& row : rows) {
        SCOPED_TRACE(row.program.toStdString());
        const qint64 pid = startApp(*row.process, row.program, row.args).value(QStringLiteral("pid")).toInteger();
        ASSERT_TRUE(request(QStringLiteral("app.quit"), {{QStringLiteral("pid"), pid}, {QStringLiteral("force"), row.force}})
                        .value(QStringLiteral("ok")).toBool());
        // It may be gone already, noticed while the reply was awaited.
        ASSERT_TRUE(row.process->state() == QProcess::NotRunning || row.process->waitForFinished(10000));
        EXPECT_EQ(row.process->exitStatus(), row.exit);
    }
}

TEST_F(AgentAppsTest, UnknownPidsAndWindowsGetTheirErrors)
{
    const QString agentPid = QString::number(agent.pid());
    const QString root = QString::number(x.rootWindow());
    const struct {
        const char* type;
        QJsonObject params;
        QString error;
    } rows[] = {
        {"app.quit", {{QStringLiteral("pid"), agent.pid()}}, QStringLiteral("no app with pid ") + agentPid},
        {"app.hide", {{QStringLiteral("pid"), 999999}}, QStringLiteral("no app with pid 999999")},
        {"app.focus", {{QStringLiteral("pid"), agent.pid()}}, QStringLiteral("no app with pid ") + agentPid},
        {"window.focus", {{QStringLiteral("windowId"), 0x7fffff0}}, QStringLiteral("window 134217712 is gone")},
        {"window.focus", {{QStringLiteral("windowId"), qint64(x.rootWindow())}},
         QStringLiteral("window %1 not reachable (on another Space?)").arg(root)},
    };
    for (const auto& row : rows)
        EXPECT_EQ(request(QLatin1String(row.type), row.params).value(QStringLiteral("error")).toString(), row.error) << row.type;
}
