// The real agent without --dev on a paired Mac: the phone (a network namespace on the stand-in
// tailnet) passes Tailscale and is then judged by its ticket against the link in the keyring.
// Needs root (network namespaces).
#include "AgentProcess.h"
#include "CloudProcess.h"
#include "Gate.h"
#include "KeychainLinkStore.h"
#include "KeyringDaemon.h"
#include "NetNamespace.h"
#include "PairedOnTailnet.h"
#include "TicketMint.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>

using namespace core;

namespace {

const QString kLogin = QStringLiteral("me@example.com");

class PairedAdmission : public PairedOnTailnet {
protected:
    void SetUp() override
    {
        PairedOnTailnet::SetUp();
        if (HasFatalFailure())
            return;
        // This computer is node 1, the phone node 2, both signed in as the owner.
        const QJsonArray nodes{
            QJsonObject{{"id", 1}, {"stableID", "nMAC"}, {"name", "mac.tail.ts.net."}, {"login", kLogin},
                        {"addresses", QJsonArray{ns.hostAddress()}}},
            QJsonObject{{"id", 2}, {"stableID", "nPHONE"}, {"name", "ipad.tail.ts.net."}, {"login", kLogin},
                        {"addresses", QJsonArray{ns.peerAddress()}}}};
        QSaveFile tailnet(tailnetFile());
        ASSERT_TRUE(tailnet.open(QIODevice::WriteOnly));
        tailnet.write(QJsonDocument(QJsonObject{{"self", 1}, {"nodes", nodes}}).toJson());
        ASSERT_TRUE(tailnet.commit());
        startPairedAgent();
    }

    // One hello from the phone with these members added; the probe's report.
    QJsonObject hello(const QJsonObject& members)
    {
        QFile file(dir.path() + QStringLiteral("/hello.json"));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QJsonDocument(members).toJson(QJsonDocument::Compact));
        file.close();
        const QString url = QStringLiteral("ws://%1:%2").arg(ns.hostAddress()).arg(port);
        const QByteArray out = ns.exec({QStringLiteral(WS_PROBE), url, file.fileName()});
        const QJsonObject report = QJsonDocument::fromJson(out).object();
        EXPECT_TRUE(report.value("connected").toBool()) << out.constData() << agent.log().toStdString();
        return report;
    }
    bool admitted(const QJsonObject& report)
    {
        return QJsonDocument::fromJson(report.value("message").toString().toUtf8()).object().value("ok").toBool();
    }
    QString ticket(double secondsFromNow)
    {
        return cloud.ticket(link.owner, link.macId, Ticket::seconds(QDateTime::currentDateTimeUtc()) + secondsFromNow);
    }
    // Stops the fixture's agent and starts `again` in its place on the same port and tailnet.
    void restart(AgentProcess& again, const std::map<QString, QString>& env = {})
    {
        agent.stop();
        again.writeConfig(QStringLiteral(R"({"port":%1,"api":"%2"})").arg(port).arg(cloud.base()).toUtf8());
        again.setEnv(QStringLiteral("FAKE_TAILNET"), dir.path() + QStringLiteral("/tailnet.json"));
        again.setEnv(QStringLiteral("PATH"), QStringLiteral(FAKE_TAILSCALE_DIR ":") + qEnvironmentVariable("PATH"));
        again.setEnv(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), KeyringDaemon::instance().busAddress());
        for (const auto& [name, value] : env)
            again.setEnv(name, value);
        ASSERT_TRUE(again.start({}));
        ASSERT_TRUE(again.waitForLog(QStringLiteral("listening on "))) << again.log().toStdString();
    }
    int requests(const QString& methodPath)
    {
        const QJsonArray all = cloud.state().value(QStringLiteral("requests")).toArray();
        return int(std::count(all.begin(), all.end(), QJsonValue(methodPath)));
    }
};

} // namespace

TEST_F(PairedAdmission, TicketsDecide)
{
    EXPECT_TRUE(admitted(hello({{"ticket", ticket(3600)}}))) << agent.log().toStdString();

    const QJsonObject stale = hello({{"ticket", ticket(-301)}});
    EXPECT_EQ(stale.value("closeCode").toInt(), 4402);
    EXPECT_EQ(stale.value("closeReason").toString(), Close::expired.reason);

    const QString forged = SigningKey::generate().ticket(QStringLiteral("t1"), link.owner, link.macId,
                                                         Ticket::seconds(QDateTime::currentDateTimeUtc()) + 3600);
    const QJsonObject refused = hello({{"ticket", forged}});
    EXPECT_EQ(refused.value("closeCode").toInt(), 4401);
    EXPECT_EQ(refused.value("closeReason").toString(), Close::signIn.reason);

    const QJsonObject huge = hello({{"ticket", QString(1 << 20, QLatin1Char('A'))}});
    EXPECT_EQ(huge.value("closeCode").toInt(), 4401);

    EXPECT_EQ(hello({}).value("closeCode").toInt(), 4401);
    EXPECT_TRUE(agent.waitForLog(QStringLiteral("session refused (4402): ") + Close::expired.reason));
    EXPECT_TRUE(agent.running());
}

TEST_F(PairedAdmission, UnpairedMacTurnsTicketsAway)
{
    // Without a link in the keyring even a well-signed ticket is turned away, as for an unpaired Mac.
    agent.stop(); // first: its last sync could store the link again
    KeychainLinkStore().clear();
    AgentProcess again;
    restart(again);
    const QJsonObject report = hello({{"ticket", ticket(3600)}});
    EXPECT_EQ(report.value("closeCode").toInt(), 4412);
    EXPECT_EQ(report.value("closeReason").toString(), Close::notPaired.reason);
}

TEST_F(PairedAdmission, ListeningTellsTheCloudHowToReachThisMac)
{
    const auto details = [&]() -> QJsonObject {
        for (const QJsonValue& mac : cloud.state().value(QStringLiteral("macs")).toArray())
            if (mac[QStringLiteral("macId")].toString() == link.macId)
                return mac[QStringLiteral("details")].toObject();
        return {};
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return details().value(QStringLiteral("nodeId")) == QStringLiteral("nMAC"); }, 20000))
        << agent.log().toStdString();
    const QJsonObject told = details();
    EXPECT_EQ(told.value(QStringLiteral("dnsName")).toString(), QStringLiteral("mac.tail.ts.net"));
    EXPECT_EQ(told.value(QStringLiteral("port")).toInt(), port);
    EXPECT_EQ(told.value(QStringLiteral("tailscaleLogin")).toString(), kLogin);
}

TEST_F(PairedAdmission, DetailsTheCloudFailedToTakeAreSentAgainAtTheNextRefresh)
{
    agent.stop(); // first: its last sync could store the link again
    KeychainLinkStore().save(link); // as before the first agent told the cloud
    ASSERT_TRUE(cloud.post(QStringLiteral("/test/fail-updates"), {{"count", 1}}));
    const int before = requests(QStringLiteral("PUT /v1/mac"));
    AgentProcess again;
    restart(again, {{QStringLiteral("REMOTE_AGENT_PAIRING_REFRESH_MS"), QStringLiteral("300")}});
    ASSERT_TRUE(QTest::qWaitFor([&] { return requests(QStringLiteral("PUT /v1/mac")) >= before + 2; }, 30000))
        << again.log().toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return KeychainLinkStore().load().value_or(link).details.has_value(); }, 20000));
    EXPECT_EQ(KeychainLinkStore().load()->details->nodeId, QStringLiteral("nMAC"));
}

TEST_F(PairedAdmission, APeerWithTooManyWrongCodesIsRefusedEvenTheRightOne)
{
    // Unpaired, the agent shows its pairing window at start and registers the code it shows.
    agent.stop(); // first: its last sync could store the link again
    KeychainLinkStore().clear();
    AgentProcess again;
    restart(again);
    QString shown;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const QJsonArray codes = cloud.state().value(QStringLiteral("codes")).toArray();
            shown = codes.isEmpty() ? QString() : codes.last()[QStringLiteral("code")].toString();
            return !shown.isEmpty();
        },
        20000))
        << again.log().toStdString();
    QString wrong = shown;
    wrong[0] = shown[0] == QLatin1Char('A') ? QLatin1Char('B') : QLatin1Char('A');
    for (int i = 0; i < Gate::CodeGuesses::kMaxWrong; ++i)
        EXPECT_FALSE(admitted(hello({{"pairCode", wrong}}))) << i;
    const QJsonObject report = hello({{"pairCode", shown}});
    EXPECT_EQ(report.value("closeCode").toInt(), 4401) << again.log().toStdString();
    EXPECT_TRUE(again.waitForLog(QStringLiteral("pairing: too many wrong codes from ") + ns.peerAddress()));
}
