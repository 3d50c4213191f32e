// The real agent without --dev: it binds to its Tailscale address on an interface named like
// Tailscale's, the stand-in `tailscale` describes the tailnet, and a network namespace plays the
// phone. Needs root (network namespaces).
#include "AgentProcess.h"
#include "NetNamespace.h"
#include "WsClient.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

const QString kOwn = QStringLiteral("me@example.com");

class TailscaleBinding : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(::geteuid(), 0u) << "these tests create network namespaces and must run as root";
        ASSERT_TRUE(ns.error().isEmpty()) << ns.error().toStdString();
        ASSERT_TRUE(dir.isValid());
        tailnetPath = dir.path() + QStringLiteral("/tailnet.json");
        agent.setEnv(QStringLiteral("FAKE_TAILNET"), tailnetPath);
        agent.setEnv(QStringLiteral("PATH"), QStringLiteral(FAKE_TAILSCALE_DIR ":") + qEnvironmentVariable("PATH"));
    }

    // This computer is node 1 with the host end's address (when `up`); the phone is node 2.
    // `phone` members override the phone's defaults; `phone` null leaves the phone out.
    void writeTailnet(const QJsonValue& phone, bool up = true)
    {
        QJsonArray nodes{QJsonObject{{"id", 1},
                                     {"stableID", "nMAC"},
                                     {"name", "mac.tail.ts.net."},
                                     {"login", kOwn},
                                     {"addresses", up ? QJsonArray{ns.hostAddress()} : QJsonArray{}}}};
        if (phone.isObject()) {
            QJsonObject p{{"id", 2}, {"stableID", "nPHONE"}, {"name", "ipad.tail.ts.net."}, {"login", kOwn},
                          {"addresses", QJsonArray{ns.peerAddress()}}};
            const QJsonObject overrides = phone.toObject();
            for (auto it = overrides.begin(); it != overrides.end(); ++it)
                p.insert(it.key(), it.value());
            nodes.append(p);
        }
        // Replaced whole, so a concurrent `tailscale` run never reads half a file.
        QSaveFile file(tailnetPath);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QJsonDocument(QJsonObject{{"self", 1}, {"nodes", nodes}}).toJson());
        ASSERT_TRUE(file.commit());
    }

    void startAgent(const QString& owner = kOwn)
    {
        ASSERT_TRUE(ns.addHostAddress()) << ns.error().toStdString();
        ASSERT_TRUE(agent.start({})) << "agent did not start";
        ASSERT_TRUE(agent.waitForLog(listening(owner))) << agent.log().toStdString();
    }

    QString listening(const QString& owner = kOwn)
    {
        return QStringLiteral("listening on %1:%2 (%3) for %4")
            .arg(ns.hostAddress())
            .arg(agent.port())
            .arg(ns.hostInterface(), owner);
    }

    QString url() const { return QStringLiteral("ws://%1:%2").arg(ns.hostAddress()).arg(agent.port()); }

    // One connection from the phone's namespace: sends hello, reports the first message or close.
    QJsonObject fromPhone()
    {
        const QByteArray out = ns.exec({QStringLiteral(WS_PROBE), url()});
        const QJsonObject report = QJsonDocument::fromJson(out).object();
        EXPECT_FALSE(report.isEmpty()) << "probe gave no report: " << out.constData();
        return report;
    }

    // Admitted at the connection: the hello was answered, or refused by a later stage than Tailscale.
    void expectPassesTailscale(const QJsonObject& report)
    {
        EXPECT_TRUE(report.value("connected").toBool()) << QJsonDocument(report).toJson().constData();
        EXPECT_TRUE(report.contains("message") || (report.contains("closeCode") && report.value("closeCode") != 4403))
            << QJsonDocument(report).toJson().constData();
    }

    void expectRefused(const QJsonObject& report)
    {
        EXPECT_TRUE(report.value("connected").toBool()) << QJsonDocument(report).toJson().constData();
        EXPECT_EQ(report.value("closeCode").toInt(), 4403) << QJsonDocument(report).toJson().constData();
        EXPECT_EQ(report.value("closeReason").toString(), QStringLiteral("device not on your account"));
    }

    QString rejected(const QString& why) const
    {
        return QStringLiteral("rejected ") + ns.peerAddress() + QStringLiteral(" (") + why + QLatin1Char(')');
    }

    NetNamespace ns;
    QTemporaryDir dir;
    QString tailnetPath;
    AgentProcess agent;
};

TEST_F(TailscaleBinding, AdmitsTheOwnersOtherDevicesWhateverTheLetterCase)
{
    writeTailnet(QJsonObject{{"login", "ME@Example.COM"}});
    startAgent();
    expectPassesTailscale(fromPhone());
    EXPECT_FALSE(agent.log().contains(QStringLiteral("rejected "))) << agent.log().toStdString();
}

TEST_F(TailscaleBinding, RefusesOtherAccountsAndFailedLookups)
{
    writeTailnet(QJsonObject{{"login", "stranger@example.com"}});
    startAgent();
    expectRefused(fromPhone());
    EXPECT_TRUE(agent.waitForLog(rejected(QStringLiteral("stranger@example.com"))));

    // The phone's address is this computer's own node: the right login, but not another device.
    writeTailnet(QJsonObject{{"id", 1}});
    expectRefused(fromPhone());
    EXPECT_TRUE(agent.waitForLog(rejected(kOwn)));

    writeTailnet(QJsonObject{{"whois", "{\"Node\":{\"ID\":\"2\"},\"UserProfile\":"}});
    expectRefused(fromPhone());
    EXPECT_TRUE(agent.waitForLog(rejected(QStringLiteral("whois failed"))));

    writeTailnet(QJsonValue::Null); // tailscale does not know the address at all
    expectRefused(fromPhone());
    EXPECT_TRUE(QTest::qWaitFor([&] { return agent.countLog(rejected(QStringLiteral("whois failed"))) == 2; }, 5000));

    // Still serving the owner after all that.
    writeTailnet(QJsonObject{});
    expectPassesTailscale(fromPhone());
    EXPECT_TRUE(agent.running());
}

TEST_F(TailscaleBinding, ConfiguredOwnerReplacesTheComputersOwnLogin)
{
    agent.writeConfig(QStringLiteral(R"({"port":%1,"owner":"boss@example.com"})").arg(freePortPair()).toUtf8());
    writeTailnet(QJsonObject{});
    startAgent(QStringLiteral("boss@example.com"));
    expectRefused(fromPhone());
    EXPECT_TRUE(agent.waitForLog(rejected(kOwn)));

    writeTailnet(QJsonObject{{"login", "Boss@example.com"}});
    expectPassesTailscale(fromPhone());
}

TEST_F(TailscaleBinding, LoopbackNeverReachesThePinnedListener)
{
    writeTailnet(QJsonObject{});
    startAgent();
    QTcpSocket tcp;
    tcp.connectToHost(QStringLiteral("127.0.0.1"), static_cast<quint16>(agent.port()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return tcp.state() == QAbstractSocket::UnconnectedState; }, 5000));
    EXPECT_EQ(tcp.error(), QAbstractSocket::ConnectionRefusedError);
    WsClient loopback;
    EXPECT_FALSE(loopback.open(QStringLiteral("ws://127.0.0.1:%1").arg(agent.port())));

    // This computer dialling its own Tailscale address is let in by the kernel (the route belongs to
    // the Tailscale interface) but is this computer's own node: refused although the login matches.
    WsClient self;
    ASSERT_TRUE(self.open(QStringLiteral("ws://%1:%2").arg(ns.hostAddress()).arg(agent.port())));
    ASSERT_TRUE(self.waitClosed());
    EXPECT_EQ(self.closeCode(), 4403);
    EXPECT_TRUE(agent.waitForLog(QStringLiteral("rejected %1 (%2)").arg(ns.hostAddress(), kOwn)));

    // The listener serves the phone's interface all along.
    expectPassesTailscale(fromPhone());
    EXPECT_FALSE(agent.log().contains(QStringLiteral("rejected 127.0.0.1"))) << agent.log().toStdString();
}

// The one test that waits for the 30-second binding check.
TEST_F(TailscaleBinding, WaitsForTailscaleAndRebindsWhenTheAddressGoes)
{
    writeTailnet(QJsonObject{});
    ASSERT_TRUE(agent.start({})); // the interface has no address yet
    const QString noInterface = QStringLiteral("tailscale not ready (no interface has %1); retry in 5s").arg(ns.hostAddress());
    ASSERT_TRUE(agent.waitForLog(noInterface)) << agent.log().toStdString();

    // The address arrives on an interface that is down: not usable yet.
    ASSERT_TRUE(ns.setHostLink(false));
    ASSERT_TRUE(ns.addHostAddress()) << ns.error().toStdString();
    ASSERT_TRUE(agent.waitForLog(QStringLiteral("tailscale not ready (interface %1 not available); retry in 5s")
                                     .arg(ns.hostInterface())))
        << agent.log().toStdString();

    // Up, but somebody else holds the port.
    auto blocker = std::make_unique<QTcpServer>();
    ASSERT_TRUE(blocker->listen(QHostAddress::Any, static_cast<quint16>(agent.port())));
    ASSERT_TRUE(ns.setHostLink(true));
    ASSERT_TRUE(agent.waitForLog(
        QStringLiteral("tailscale not ready (listen failed: bind: Address already in use); retry in 5s")))
        << agent.log().toStdString();
    blocker.reset();
    ASSERT_TRUE(agent.waitForLog(listening())) << agent.log().toStdString();
    expectPassesTailscale(fromPhone());

    // Tailscale stops: no address from the command, none on the interface.
    writeTailnet(QJsonObject{}, false);
    ASSERT_TRUE(ns.removeHostAddress()) << ns.error().toStdString();
    ASSERT_TRUE(agent.waitForLog(QStringLiteral("tailscale moved (none in none); rebinding"), 40000))
        << agent.log().toStdString();
    ASSERT_TRUE(agent.waitForLog(QStringLiteral("tailscale not ready (tailscale ip -4 exited 1); retry in 5s")))
        << agent.log().toStdString();

    // And starts again: the next retry listens.
    writeTailnet(QJsonObject{});
    ASSERT_TRUE(ns.addHostAddress()) << ns.error().toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return agent.countLog(listening()) == 2; }, 15000)) << agent.log().toStdString();
    expectPassesTailscale(fromPhone());
    EXPECT_EQ(agent.countLog(QStringLiteral("tailscale moved")), 1);
}

} // namespace
