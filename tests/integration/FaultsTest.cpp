// Faults around the agent, one row each: the X server dying under it, a full disk when the device
// list is saved, the keyring daemon hanging or dying while the agent reads it, and the cloud
// answering with 10 MB, with garbage or not at all. In every row the agent says what happened in
// its log, goes on serving (or, without its X server, leaves with the status its autostart expects)
// and keeps whatever was stored before the fault.
#include "AgentProcess.h"
#include "CannedHttp.h"
#include "DeviceBook.h"
#include "KeychainLinkStore.h"
#include "KeyringDaemon.h"
#include "PairingRecords.h"
#include "WsClient.h"
#include "XServerFixture.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <sched.h>
#include <sys/mount.h>
#include <thread>

using namespace core;

namespace {

struct Outcome {
    QString log;
    // Served on, or left the way it is meant to.
    bool behaved = false;
    // What was stored before the fault is still there, whole.
    bool keptStored = false;
    QString detail;
};

struct Fault {
    const char* name;
    // The line the fault leaves in the log (its beginning is enough).
    QString line;
    std::function<Outcome()> run;
};

QByteArray contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(unreadable)");
}

bool helloAnswered(const AgentProcess& agent)
{
    WsClient client;
    return client.open(agent.url()) && client.request(QStringLiteral("hello"), 1).value(QStringLiteral("ok")).toBool();
}

Linked storedLink()
{
    return {QStringLiteral("mac-1"), QStringLiteral("user-1"), QStringLiteral("a@b.c"), PairCode::secret(), std::nullopt};
}

int storedLinks()
{
    return KeyringDaemon::instance().countItems(KeychainLinkStore::service, QStringLiteral("pairing"));
}

// With `qtElsewhere` Qt's own windows are not on that X server (as under a Wayland session), so
// Qt does not end the process when the server goes: the agent must leave by itself.
Outcome xServerDies(bool qtElsewhere)
{
    Outcome o;
    XServerFixture x;
    if (!x.start())
        return o;
    AgentProcess agent;
    if (qtElsewhere)
        agent.setEnv(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    WsClient client;
    if (!agent.start() || !agent.waitForLog(QStringLiteral("listening")) || !client.open(agent.url())
        || !client.request(QStringLiteral("hello"), 1).value(QStringLiteral("ok")).toBool()) {
        o.detail = QStringLiteral("the agent did not serve on the new server");
        o.log = agent.log();
        return o;
    }
    x.killServer();
    const bool exited = agent.waitForExit(30000);
    o.log = agent.log();
    o.behaved = exited && !agent.crashed() && agent.exitCode() == 1 && client.waitClosed(10000);
    o.detail = QStringLiteral("exited %1, crashed %2, exit code %3, phone %4")
                   .arg(exited).arg(agent.crashed()).arg(agent.exitCode()).arg(client.isOpen() ? "connected" : "closed");
    // The agent stores nothing on its way out, so there is nothing for it to spoil.
    o.keptStored = true;
    return o;
}

// The device list saved on a 64 KiB file system in a mount namespace of the saving thread's own,
// filled up between two saves.
Outcome diskFullOnDeviceSave()
{
    Outcome o;
    QTemporaryDir dir;
    const QString root = dir.path();
    ::testing::internal::CaptureStderr();
    std::thread saver([&] {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
            || ::mount("tmpfs", root.toUtf8().constData(), "tmpfs", 0, "size=64k") != 0) {
            o.detail = QStringLiteral("no private tmpfs: ") + QString::fromUtf8(std::strerror(errno));
            return;
        }
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, root);
        const QString file = QSettings().fileName();
        const QDateTime t0 = QDateTime::fromSecsSinceEpoch(1'700'000'000);
        DeviceBook book;
        book.load();
        book.record({QStringLiteral("phone-1"), QStringLiteral("Phone")}, t0);
        const QByteArray before = contents(file);

        QFile filler(root + QStringLiteral("/filler"));
        filler.open(QIODevice::WriteOnly);
        const QByteArray chunk(4096, 'x');
        while (filler.write(chunk) == chunk.size() && filler.flush()) {
        }
        filler.close();
        book.record({QStringLiteral("tablet-1"), QStringLiteral("Tablet")}, t0.addSecs(60));
        const bool intact = contents(file) == before;
        o.behaved = book.list().all.size() == 2;

        // Room again: the next change writes the whole list.
        QFile::remove(filler.fileName());
        book.touch(QStringLiteral("phone-1"), t0.addSecs(120));
        const auto stored = DeviceList::decode(QSettings(file, QSettings::IniFormat).value(QStringLiteral("devices")).toByteArray());
        o.keptStored = intact && stored && stored->all.size() == 2;
        o.detail = QStringLiteral("old file intact %1, stored after the retry %2").arg(intact).arg(stored ? int(stored->all.size()) : -1);
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
    });
    saver.join();
    o.log = QString::fromStdString(::testing::internal::GetCapturedStderr());
    // Only the save that met the full disk says so, not the ones around it.
    const int failures = int(o.log.count(QStringLiteral("devices: could not save")));
    o.behaved = o.behaved && failures == 1;
    o.detail += QStringLiteral(", save failures logged %1").arg(failures);
    return o;
}

// A link in the keyring; the daemon stops answering before the agent starts, and with `dies` is
// killed while the agent waits for it.
Outcome keyringFails(bool dies)
{
    Outcome o;
    KeyringDaemon& keyring = KeyringDaemon::instance();
    if (!keyring.ready()) {
        o.detail = keyring.error();
        return o;
    }
    KeychainLinkStore().save(storedLink());
    const QByteArray before = contents(keyring.keyringFile());
    const pid_t daemon = static_cast<pid_t>(keyring.daemonPid());
    ::kill(daemon, SIGSTOP);
    AgentProcess agent;
    agent.setEnv(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), keyring.busAddress());
    agent.start();
    if (dies) {
        agent.waitForLog(QStringLiteral("desktop: "));
        ::kill(daemon, SIGKILL);
    }
    o.behaved = agent.waitForLog(QStringLiteral("listening"), 30000) && helloAnswered(agent);
    if (!dies)
        ::kill(daemon, SIGCONT);
    o.log = agent.log();
    const bool fileIntact = contents(keyring.keyringFile()) == before;
    o.keptStored = fileIntact && (dies || storedLinks() == 1);
    o.detail = QStringLiteral("keyring file intact %1").arg(fileIntact);
    return o;
}

// A paired agent whose start-up check of the link meets a cloud that answers `response`.
Outcome cloudAnswers(const QByteArray& response)
{
    Outcome o;
    if (!KeyringDaemon::instance().ready()) {
        o.detail = KeyringDaemon::instance().error();
        return o;
    }
    KeychainLinkStore().save(storedLink());
    CannedHttp cloud(response);
    AgentProcess agent;
    const int port = freePortPair();
    agent.writeConfig(QStringLiteral(R"({"port":%1,"api":"%2"})").arg(port).arg(cloud.base()).toUtf8());
    agent.setEnv(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), KeyringDaemon::instance().busAddress());
    agent.start();
    // The client gives the cloud 15 s.
    agent.waitForLog(QStringLiteral("cloud: GET /v1/mac failed"), 30000);
    o.behaved = helloAnswered(agent);
    o.log = agent.log();
    o.keptStored = storedLinks() == 1;
    return o;
}

// Rows that kill the keyring daemon come last: it serves every row of this process.
const Fault kFaults[] = {
    {"XServerDies", QStringLiteral("desktop: the X display is gone, exiting"), [] { return xServerDies(false); }},
    {"XServerDiesWithQtElsewhere", QStringLiteral("desktop: the X display is gone, exiting"), [] { return xServerDies(true); }},
    {"DiskFullWhenTheDeviceListIsSaved", QStringLiteral("devices: could not save the list to "), diskFullOnDeviceSave},
    {"CloudAnswersTenMegabytes", QStringLiteral("cloud: GET /v1/mac failed (cloud reply too large)"),
     [] {
         return cloudAnswers("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 10485760\r\n\r\n"
                             + QByteArray(10 << 20, ' '));
     }},
    {"CloudAnswersGarbage", QStringLiteral("cloud: GET /v1/mac failed ("), [] { return cloudAnswers("this is not HTTP\r\n\r\n"); }},
    {"CloudDoesNotAnswer", QStringLiteral("cloud: GET /v1/mac failed (cloud request timed out)"), [] { return cloudAnswers({}); }},
    {"KeyringHangs", QStringLiteral("keychain read failed (the keyring did not answer within 3 s)"), [] { return keyringFails(false); }},
    {"KeyringDiesMidRead", QStringLiteral("keychain read failed ("), [] { return keyringFails(true); }},
};

// The row's name in test listings, rather than its bytes.
void PrintTo(const Fault& f, std::ostream* os) { *os << f.name; }

class Faults : public ::testing::TestWithParam<Fault> {};

} // namespace

TEST_P(Faults, LogServeAndKeepWhatWasStored)
{
    const Outcome o = GetParam().run();
    EXPECT_TRUE(o.log.contains(GetParam().line)) << o.log.toStdString();
    EXPECT_TRUE(o.behaved) << o.detail.toStdString() << "\n" << o.log.toStdString();
    EXPECT_TRUE(o.keptStored) << o.detail.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Agent, Faults, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<Fault>& info) { return std::string(info.param.name); });
