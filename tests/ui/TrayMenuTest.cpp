// The tray menu as built from a status, what its items do, and its icon in a real XEmbed tray host.
#include "TrayMenu.h"

#include <QProcess>
#include <QTest>
#include <QWidget>

#include <xcb/xcb.h>

#include <gtest/gtest.h>

using namespace core;
using namespace ui;

namespace {

const Linked kLink{QStringLiteral("mac-1"), QStringLiteral("user-7"), QStringLiteral("ann@example.com"),
                   QStringLiteral("tok"), std::nullopt};

// Two devices seen just now: the phone holds the Mac, the tablet is turned off.
AgentStatus pairedStatus()
{
    AgentStatus s;
    s.link = kLink;
    s.tailscale = TailscaleState::on(QStringLiteral("ann@github"));
    const QDateTime now = QDateTime::currentDateTime();
    s.devices.record(QStringLiteral("phone"), QStringLiteral("Ann's phone"), now);
    s.devices.record(QStringLiteral("tablet"), QStringLiteral("Tab"), now.addSecs(-1));
    s.devices.disable(QStringLiteral("tablet"));
    s.connectedDevice = QStringLiteral("Ann's phone");
    s.connectedDeviceID = QStringLiteral("phone");
    return s;
}

// Each item as one line: "---" for a separator, "(text)" disabled, "*text*" bold, "text > a | b"
// for a submenu with its items.
QStringList describe(const QMenu& menu)
{
    QStringList out;
    for (const QAction* a : menu.actions()) {
        if (a->isSeparator())
            out << QStringLiteral("---");
        else if (a->menu())
            out << a->text() + QStringLiteral(" > ") + describe(*a->menu()).join(QStringLiteral(" | "));
        else if (!a->isEnabled())
            out << QLatin1Char('(') + a->text() + QLatin1Char(')');
        else if (a->font().bold())
            out << QLatin1Char('*') + a->text() + QLatin1Char('*');
        else
            out << a->text();
    }
    return out;
}

// The item reached by following titles through submenus.
QAction* item(QMenu* menu, const QStringList& path)
{
    QAction* found = nullptr;
    for (const QString& title : path) {
        found = nullptr;
        for (QAction* a : menu->actions())
            if (a->text() == title)
                found = a;
        if (!found)
            return nullptr;
        menu = found->menu();
    }
    return found;
}

struct Recorder {
    QStringList calls;
    std::vector<Question> asked;
    bool answer = true;

    TrayMenu::Commands commands()
    {
        return {.enable = [this](const QString& id) { calls << "enable " + id; },
                .disable = [this](const QString& id) { calls << "disable " + id; },
                .remove = [this](const QString& id) { calls << "remove " + id; },
                .unpair = [this] { calls << "unpair"; },
                .openPairing = [this] { calls << "open"; },
                .quit = [this] { calls << "quit"; }};
    }
    Ask ask()
    {
        return [this](const Question& q) {
            asked.push_back(q);
            return answer;
        };
    }
};

} // namespace

TEST(TrayMenu, BuildsTheMenuOfEachStatus)
{
    struct Row {
        const char* name;
        AgentStatus status;
        QStringList expected;
        bool greyed;
    };
    const Row rows[] = {
        {"unpaired, Tailscale off", AgentStatus{},
         {"(Not paired)", "---", "(Tailscale is off. Turn it on to connect.)", "---", "*Pair a phone or tablet\u2026*",
          "---", "Quit Dorvane"},
         true},
        {"paired, two devices, one connected", pairedStatus(),
         {"(Paired with ann@example.com)", "(Connected: Ann's phone)", "---", "(Tailscale: on \u00b7 ann@github)", "---",
          "(Devices)", "Ann's phone \u00b7 connected now > Disable | --- | Remove\u2026",
          "Tab \u00b7 disabled > Enable | --- | Remove\u2026", "---", "Pair a phone or tablet\u2026",
          "Unpair this Mac\u2026", "---", "Quit Dorvane"},
         false},
    };
    for (const Row& row : rows) {
        Recorder rec;
        TrayMenu tray(rec.commands(), rec.ask());
        tray.update(row.status);
        EXPECT_EQ(describe(*tray.menu()), row.expected) << row.name;
        EXPECT_EQ(tray.greyed(), row.greyed) << row.name;
        EXPECT_EQ(tray.tray().contextMenu(), tray.menu()) << row.name;
    }
}

TEST(TrayMenu, ItemsRunTheirCommandsAfterConfirmation)
{
    struct Row {
        QStringList path;
        bool answer;
        QStringList calls;
        std::optional<Question> asked;
    };
    const Row rows[] = {
        {{"Pair a phone or tablet\u2026"}, true, {"open"}, std::nullopt},
        {{"Quit Dorvane"}, true, {"quit"}, std::nullopt},
        {{"Unpair this Mac\u2026"}, true, {"unpair", "open"}, unpairQuestion("ann@example.com")},
        {{"Unpair this Mac\u2026"}, false, {}, unpairQuestion("ann@example.com")},
        {{"Ann's phone \u00b7 connected now", "Disable"}, true, {"disable phone"}, std::nullopt},
        {{"Tab \u00b7 disabled", "Enable"}, true, {"enable tablet"}, std::nullopt},
        {{"Tab \u00b7 disabled", "Remove\u2026"}, true, {"remove tablet"}, removeQuestion("Tab")},
        {{"Tab \u00b7 disabled", "Remove\u2026"}, false, {}, removeQuestion("Tab")},
    };
    for (const Row& row : rows) {
        Recorder rec;
        rec.answer = row.answer;
        TrayMenu tray(rec.commands(), rec.ask());
        tray.update(pairedStatus());
        QAction* a = item(tray.menu(), row.path);
        ASSERT_TRUE(a) << row.path.join(" > ").toStdString();
        a->trigger();
        EXPECT_EQ(rec.calls, row.calls) << row.path.join(" > ").toStdString();
        EXPECT_EQ(rec.asked.empty() ? std::nullopt : std::optional(rec.asked.front()), row.asked)
            << row.path.join(" > ").toStdString();
    }
}

TEST(TrayMenu, StaleItemsOfRemovedDevicesDoNothing)
{
    Recorder rec;
    TrayMenu tray(rec.commands(), rec.ask());
    tray.update(pairedStatus());
    QAction* disable = item(tray.menu(), {"Tab \u00b7 disabled", "Enable"});
    QAction* remove = item(tray.menu(), {"Tab \u00b7 disabled", "Remove\u2026"});
    ASSERT_TRUE(disable && remove);
    // The open menu keeps its items while the status changes under it.
    const QPointer<QMenu> stale = tray.menu();
    AgentStatus s = pairedStatus();
    s.devices.remove(QStringLiteral("tablet"));
    tray.update(s);
    ASSERT_TRUE(stale);
    disable->trigger();
    remove->trigger();
    EXPECT_TRUE(rec.calls.isEmpty()) << rec.calls.join(", ").toStdString();
    EXPECT_TRUE(rec.asked.empty());
}

// The icon is a real X window that a real tray host (trayer, XEmbed) takes in as its child.
TEST(TrayMenu, IconIsEmbeddedInATrayHost)
{
    QProcess host;
    host.start(QStringLiteral("trayer"), {QStringLiteral("--edge"), QStringLiteral("top")});
    ASSERT_TRUE(host.waitForStarted()) << "trayer (Debian package trayer) is needed";
    ASSERT_TRUE(QTest::qWaitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 20000))
        << "no tray host appeared";

    Recorder rec;
    TrayMenu tray(rec.commands(), rec.ask());
    tray.update(AgentStatus{});
    xcb_connection_t* x = xcb_connect(nullptr, nullptr);
    ASSERT_FALSE(xcb_connection_has_error(x));
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;
    // The tray icon's window, whoever made it: a top-level widget that is not one of ours.
    const auto embedded = [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (!w->inherits("QSystemTrayIconSys") || !w->testAttribute(Qt::WA_WState_Created))
                continue;
            xcb_query_tree_reply_t* tree = xcb_query_tree_reply(x, xcb_query_tree(x, w->winId()), nullptr);
            const bool inHost = tree && tree->parent != root;
            free(tree);
            if (inHost)
                return true;
        }
        return false;
    };
    EXPECT_TRUE(QTest::qWaitFor(embedded, 20000)) << "the icon was not embedded in the tray";
    EXPECT_FALSE(tray.tray().geometry().isEmpty());
    xcb_disconnect(x);
    host.kill();
    host.waitForFinished();
}
