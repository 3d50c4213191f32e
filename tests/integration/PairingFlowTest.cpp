// Pairing end to end inside the test process: the real cloud client over loopback against the
// stand-in cloud, the real keyring, and hellos judged by the gate over a real WebSocket.
#include "Agent.h"
#include "AgentProcess.h"
#include "CannedHttp.h"
#include "CloudProcess.h"
#include "DesktopBackend.h"
#include "Gate.h"
#include "KeychainLinkStore.h"
#include "KeyringDaemon.h"
#include "PairingController.h"
#include "Server.h"
#include "Session.h"
#include "TicketMint.h"
#include "WsClient.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTest>

#include <gtest/gtest.h>

using namespace core;

namespace {

const MacDetails kDetails{QStringLiteral("nNODE"), QStringLiteral("Desk"), QStringLiteral("desk.tail.ts.net"), 7420,
                          QStringLiteral("ann@example.com")};

double nowSeconds() { return Ticket::seconds(QDateTime::currentDateTimeUtc()); }

// Sessions whose hellos are judged by the gate with this controller's link and code.
class GateServer {
public:
    explicit GateServer(PairingController& pairing)
    {
        port_ = freePortPair();
        server_ = std::make_unique<Server>(
            port_, std::nullopt,
            [](const QString&, const Server::Decide& decide) {
                decide(Server::Verdict::admit);
                return std::unique_ptr<QObject>();
            },
            [this, &pairing](std::unique_ptr<WSConnection> conn) {
                std::unique_ptr<Session, DeleteLater> owned(new Session(std::move(conn), *desktop_, Config{}, std::nullopt));
                Session* s = owned.get();
                sessions_.push_back(std::move(owned));
                s->claim = [](bool) { return true; };
                s->gate = [&pairing](const HelloParam& hello, bool live) {
                    return Gate::decide(hello.ticket, hello.pairCode, live, pairing.linked(), pairing.admittedCode(),
                                        false, std::nullopt, QDateTime::currentDateTimeUtc(), Ticket::keys());
                };
                s->start();
            },
            [] {});
    }
    QString url() const { return QStringLiteral("ws://127.0.0.1:%1").arg(port_); }

private:
    int port_ = 0;
    std::unique_ptr<DesktopBackend> desktop_ = createDesktopBackend(); // lent to the sessions: goes last
    std::unique_ptr<Server> server_;
    std::vector<std::unique_ptr<Session, DeleteLater>> sessions_;
};

// A hello on a fresh connection: the reply object when admitted, or the close code.
struct HelloOutcome {
    bool admitted = false;
    int closeCode = -1;
    QString closeReason;
};

HelloOutcome hello(const QString& url, const QJsonObject& params)
{
    WsClient client;
    HelloOutcome out;
    if (!client.open(url))
        return out;
    client.sendText(QJsonDocument(QJsonObject{{"type", "hello"}, {"id", 1}}).toJson(QJsonDocument::Compact).chopped(1)
                    + ',' + QJsonDocument(params).toJson(QJsonDocument::Compact).mid(1));
    if (auto reply = client.next(10000)) {
        const QJsonObject o = parseJson(*reply);
        out.admitted = o.value(QStringLiteral("ok")).toBool();
    }
    if (!out.admitted && client.waitClosed(10000)) {
        out.closeCode = client.closeCode();
        out.closeReason = client.closeReason();
    }
    return out;
}

// Waits for a completion callback of the controller.
template <typename Start> bool await(Start start)
{
    bool done = false;
    start([&done] { done = true; });
    return QTest::qWaitFor([&] { return done; }, 20000);
}

class PairingFlow : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(KeyringDaemon::instance().ready()) << KeyringDaemon::instance().error().toStdString();
        ASSERT_TRUE(cloud.start()) << cloud.error().toStdString();
        KeychainLinkStore().clear();
        KeychainLinkStore().savePendingUnpair(std::nullopt);
        pairing = std::make_unique<PairingController>(CloudAPI(QUrl(cloud.base()), CloudAPI::urlSession(&owner)),
                                                      std::make_unique<KeychainLinkStore>(),
                                                      [] { return QDateTime::currentDateTimeUtc(); });
    }

    CloudProcess cloud;
    QObject owner;
    std::unique_ptr<PairingController> pairing;
};

} // namespace

TEST_F(PairingFlow, CodeClaimedByThePhoneBecomesTheStoredLinkAndTicketsAreJudged)
{
    pairing->show();
    const QString code = *pairing->shownCode();
    ASSERT_TRUE(await([&](auto done) { pairing->tick(kDetails, done); }));
    ASSERT_TRUE(pairing->showing()->registered);
    const QJsonArray codes = cloud.state().value(QStringLiteral("codes")).toArray();
    ASSERT_EQ(codes.size(), 1);
    EXPECT_EQ(codes[0].toObject().value(QStringLiteral("code")).toString(), code);
    EXPECT_EQ(codes[0].toObject().value(QStringLiteral("tokenHash")).toString(), PairCode::sha256Hex(pairing->showing()->token));

    ASSERT_TRUE(await([&](auto done) { pairing->tick(kDetails, done); }));
    EXPECT_FALSE(pairing->linked()) << "nothing claimed yet";

    ASSERT_TRUE(cloud.claim(code.toLower(), QStringLiteral("user-7"), QStringLiteral("ann@example.com")));
    ASSERT_TRUE(await([&](auto done) { pairing->tick(kDetails, done); }));
    ASSERT_TRUE(pairing->linked());
    const Linked link = *pairing->linked();
    EXPECT_EQ(link.owner, QStringLiteral("user-7"));
    EXPECT_EQ(link.details, kDetails);
    EXPECT_EQ(KeychainLinkStore().load(), link);

    GateServer server(*pairing);
    // The phone that claimed the code may still connect with it.
    EXPECT_TRUE(hello(server.url(), {{"pairCode", code}}).admitted);

    EXPECT_TRUE(hello(server.url(), {{"ticket", cloud.ticket(link.owner, link.macId, nowSeconds() + 3600)}}).admitted);

    const HelloOutcome stale = hello(server.url(), {{"ticket", cloud.ticket(link.owner, link.macId, nowSeconds() - 301)}});
    EXPECT_FALSE(stale.admitted);
    EXPECT_EQ(stale.closeCode, 4402);
    EXPECT_EQ(stale.closeReason, Close::expired.reason);

    const QString forged = SigningKey::generate().ticket(QStringLiteral("t1"), link.owner, link.macId, nowSeconds() + 3600);
    const HelloOutcome refused = hello(server.url(), {{"ticket", forged}});
    EXPECT_EQ(refused.closeCode, 4401);
    EXPECT_EQ(refused.closeReason, Close::signIn.reason);

    const HelloOutcome huge = hello(server.url(), {{"ticket", QString(1 << 20, QLatin1Char('A'))}});
    EXPECT_EQ(huge.closeCode, 4401);
}

TEST_F(PairingFlow, DetailsUnlinkAndRemoteUnlinkReachTheCloud)
{
    pairing->show();
    const QString code = *pairing->shownCode();
    ASSERT_TRUE(await([&](auto done) { pairing->tick(kDetails, done); }));
    ASSERT_TRUE(cloud.claim(code, QStringLiteral("user-7"), QStringLiteral("a@b.c")));
    ASSERT_TRUE(await([&](auto done) { pairing->tick(kDetails, done); }));
    ASSERT_TRUE(pairing->linked());

    MacDetails moved = kDetails;
    moved.dnsName = QStringLiteral("moved.tail.ts.net");
    ASSERT_TRUE(await([&](auto done) { pairing->sync(moved, done); }));
    EXPECT_EQ(KeychainLinkStore().load()->details, moved);
    const QJsonObject mac = cloud.state().value(QStringLiteral("macs")).toArray().at(0).toObject();
    EXPECT_EQ(mac.value(QStringLiteral("details")).toObject(), moved.json());

    ASSERT_TRUE(await([&](auto done) { pairing->check(done); }));
    EXPECT_TRUE(pairing->linked()) << "the cloud still knows this Mac";

    bool unlinked = false;
    pairing->onUnlinked = [&] { unlinked = true; };
    pairing->unpair();
    EXPECT_TRUE(unlinked);
    EXPECT_FALSE(KeychainLinkStore().load());
    ASSERT_TRUE(QTest::qWaitFor([&] { return cloud.state().value(QStringLiteral("unpaired")).toInt() == 1; }, 20000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !pairing->pendingUnpair(); }, 20000));
    EXPECT_FALSE(KeychainLinkStore().loadPendingUnpair());
}

namespace {

Outcome<CloudAPI::Poll> pollFrom(const QString& base, QObject* owner)
{
    const CloudAPI api(QUrl(base), CloudAPI::urlSession(owner));
    std::optional<Outcome<CloudAPI::Poll>> result;
    api.poll(QStringLiteral("ABC123"), QStringLiteral("sec"), [&](Outcome<CloudAPI::Poll> o) { result = std::move(o); });
    if (!QTest::qWaitFor([&] { return result.has_value(); }, 20000))
        return Outcome<CloudAPI::Poll>::failure(QStringLiteral("no answer"));
    return *result;
}

} // namespace

TEST(CloudReplies, EnormousReplyFailsClearly)
{
    const struct {
        const char* name;
        QByteArray response;
        bool endless;
    } rows[] = {
        {"8 MB, said in advance",
         "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 8388608\r\n\r\n" + QByteArray(8 << 20, ' '), false},
        // Data keeps coming, so the transfer timeout never fires: only the size limit ends it.
        {"no length and no end", "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QObject owner;
        CannedHttp canned(row.response, row.endless);
        const auto r = pollFrom(canned.base(), &owner);
        EXPECT_FALSE(r.ok());
        EXPECT_EQ(r.error, QStringLiteral("cloud reply too large"));
    }
}

TEST(CloudReplies, TruncatedReplyFailsClearly)
{
    QObject owner;
    CannedHttp canned("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 100\r\n\r\n{\"status\":\"cla");
    const auto r = pollFrom(canned.base(), &owner);
    EXPECT_FALSE(r.ok());
    EXPECT_FALSE(r.error.isEmpty());
}

TEST(CloudReplies, GarbageAndSilenceFailClearly)
{
    QObject owner;
    CannedHttp garbage("this is not HTTP\r\n\r\n");
    EXPECT_FALSE(pollFrom(garbage.base(), &owner).ok());
    // Nothing listens on a port that was just freed.
    int port = 0;
    {
        QTcpServer s;
        s.listen(QHostAddress::LocalHost, 0);
        port = s.serverPort();
    }
    const auto refused = pollFrom(QStringLiteral("http://127.0.0.1:%1").arg(port), &owner);
    EXPECT_FALSE(refused.ok());
    EXPECT_EQ(refused.error, QStringLiteral("Connection refused"));
}

TEST(CloudReplies, SilentServerTimesOut)
{
    QObject owner;
    CannedHttp silent({});
    HttpRequest request;
    request.method = "GET";
    request.url = QUrl(silent.base() + QStringLiteral("/v1/mac"));
    request.timeoutMs = 200; // the client's 15 s, shortened for the test
    std::optional<Outcome<HttpResponse>> result;
    CloudAPI::urlSession(&owner)(request, [&](Outcome<HttpResponse> o) { result = std::move(o); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return result.has_value(); }, 20000));
    EXPECT_EQ(result->error, QStringLiteral("cloud request timed out"));
}

TEST_F(PairingFlow, KeyringThatRefusesKeepsThePreviousLink)
{
    // A link is stored; the keyring is locked; a new pairing cannot replace it, and the stored
    // one is still there, whole, for the next start with an unlocked keyring.
    const Linked old{QStringLiteral("mac-0"), QStringLiteral("user-0"), QStringLiteral("o@b.c"), PairCode::secret(), kDetails};
    KeychainLinkStore().save(old);
    pairing->show();
    const QString code = *pairing->shownCode();
    ASSERT_TRUE(await([&](auto done) { pairing->tick(kDetails, done); }));
    ASSERT_TRUE(cloud.claim(code, QStringLiteral("user-7"), QStringLiteral("a@b.c")));
    ASSERT_TRUE(KeyringDaemon::instance().lockDefault());
    ASSERT_TRUE(await([&](auto done) { pairing->tick(kDetails, done); }));
    EXPECT_EQ(pairing->linked()->owner, QStringLiteral("user-7")) << "the pairing holds for this run";
    EXPECT_EQ(KeyringDaemon::instance().countItems(KeychainLinkStore::service, QStringLiteral("pairing")), 1);
    EXPECT_FALSE(KeychainLinkStore().load()) << "a locked keyring reads as empty";
}
