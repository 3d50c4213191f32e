// The real agent on a paired Mac, bound to its Tailscale interface, started with a desktop's soft
// limit of 1024 descriptors, while devices on the tailnet misbehave: the owner's phone (the
// namespace's first address) must stay served whatever the other device (its second address,
// signed in to another account) or the phone's own unadmitted connections do. Needs root.
#include "AgentProcess.h"
#include "CloudProcess.h"
#include "Gate.h"
#include "KeychainLinkStore.h"
#include "KeyringDaemon.h"
#include "NetNamespace.h"
#include "PairedOnTailnet.h"
#include "Server.h"
#include "TicketMint.h"
#include "WsClient.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace core;

namespace {

const QString kLogin = QStringLiteral("me@example.com");
const QString kStranger = QStringLiteral("stranger@example.net");

// One TCP connection from a chosen address of the namespace, spoken by hand: for what Qt's client
// will not do (stay silent, send unmasked frames).
class RawClient {
public:
    RawClient(const NetNamespace& ns, const QString& from, const QString& to, int port)
    {
        NetNamespace::Inside inside(ns);
        if (!inside.ok())
            return;
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in source{};
        source.sin_family = AF_INET;
        ::inet_pton(AF_INET, from.toLatin1().constData(), &source.sin_addr);
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(static_cast<quint16>(port));
        ::inet_pton(AF_INET, to.toLatin1().constData(), &target.sin_addr);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0)
            return;
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0 && errno != EINPROGRESS)
            return;
        pollfd p{fd_, POLLOUT, 0};
        connected_ = ::poll(&p, 1, 5000) == 1 && !(p.revents & (POLLERR | POLLHUP));
    }
    ~RawClient()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return connected_; }

    // The opening handshake; true when the server switched protocols.
    bool upgrade(const QString& host)
    {
        send("GET / HTTP/1.1\r\nHost: " + host.toLatin1()
             + "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
               "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
        QByteArray head;
        while (!head.contains("\r\n\r\n")) {
            const QByteArray more = receive(1, 5000);
            if (more.isEmpty())
                return false;
            head += more;
        }
        return head.startsWith("HTTP/1.1 101");
    }

    void sendFrame(quint8 opcode, const QByteArray& payload, bool masked)
    {
        QByteArray frame;
        frame.append(char(0x80 | opcode));
        const char maskBit = masked ? char(0x80) : char(0);
        if (payload.size() < 126) {
            frame.append(char(maskBit | payload.size()));
        } else {
            frame.append(char(maskBit | 126));
            frame.append(char(payload.size() >> 8));
            frame.append(char(payload.size() & 0xff));
        }
        const char key[4] = {0x11, 0x22, 0x33, 0x44};
        QByteArray body = payload;
        if (masked) {
            frame.append(key, 4);
            for (qsizetype i = 0; i < body.size(); ++i)
                body[i] = char(body[i] ^ key[i % 4]);
        }
        send(frame + body);
    }

    // The code of the close frame the server sends, -1 when the connection ended without one, 0
    // when nothing came in time.
    int closeCode(int timeoutMs)
    {
        QByteArray in;
        for (;;) {
            const QByteArray more = receive(1, timeoutMs);
            if (more.isEmpty())
                return ended_ ? -1 : 0;
            in += more;
            // Skip whole frames that are not close frames (a server sends no masked frames).
            while (in.size() >= 2) {
                const int length = quint8(in[1]) & 0x7f;
                if (length >= 126 || in.size() < 2 + length)
                    break;
                if ((quint8(in[0]) & 0x0f) == 0x8)
                    return length >= 2 ? (quint8(in[2]) << 8) | quint8(in[3]) : 1005;
                in.remove(0, 2 + length);
            }
        }
    }

    // True once the server has ended the connection (end of file or reset); does not wait.
    bool endedByServer()
    {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0)
                continue;
            return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
        }
    }

private:
    void send(const QByteArray& bytes)
    {
        qsizetype done = 0;
        while (done < bytes.size()) {
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, 5000) != 1)
                return;
            const ssize_t n = ::send(fd_, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
            if (n <= 0)
                return;
            done += n;
        }
    }
    QByteArray receive(qsizetype atMost, int timeoutMs)
    {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1)
            return {};
        QByteArray buffer(atMost, Qt::Uninitialized);
        const ssize_t n = ::recv(fd_, buffer.data(), size_t(atMost), 0);
        if (n <= 0) {
            ended_ = true;
            return {};
        }
        buffer.truncate(n);
        return buffer;
    }

    int fd_ = -1;
    bool connected_ = false;
    bool ended_ = false;
};

class UnderAttack : public PairedOnTailnet {
protected:
    void SetUp() override
    {
        PairedOnTailnet::SetUp();
        if (HasFatalFailure())
            return;
        writeTailnet();
        agent.setDescriptorLimit(1024);
        startPairedAgent();
    }

    // This computer is node 1, the phone node 2 (the owner's), the other device node 3 (a
    // stranger's); `stranger` and `tailnet` members are added to theirs and to the whole.
    void writeTailnet(const QJsonObject& stranger = {}, const QJsonObject& tailnet = {},
                      const QString& hostAddress = QString())
    {
        QJsonObject other{{"id", 3}, {"login", kStranger}, {"addresses", QJsonArray{ns.otherPeerAddress()}}};
        for (auto it = stranger.begin(); it != stranger.end(); ++it)
            other.insert(it.key(), it.value());
        const QJsonArray nodes{
            QJsonObject{{"id", 1}, {"stableID", "nMAC"}, {"name", "mac.tail.ts.net."}, {"login", kLogin},
                        {"addresses", QJsonArray{hostAddress.isEmpty() ? ns.hostAddress() : hostAddress}}},
            QJsonObject{{"id", 2}, {"stableID", "nPHONE"}, {"name", "ipad.tail.ts.net."}, {"login", kLogin},
                        {"addresses", QJsonArray{ns.peerAddress()}}},
            other};
        QJsonObject whole{{"self", 1}, {"nodes", nodes}};
        for (auto it = tailnet.begin(); it != tailnet.end(); ++it)
            whole.insert(it.key(), it.value());
        QSaveFile file(tailnetFile());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QJsonDocument(whole).toJson());
        ASSERT_TRUE(file.commit());
    }

    QString url() const { return QStringLiteral("ws://%1:%2").arg(ns.hostAddress()).arg(port); }
    QString ticket()
    {
        return cloud.ticket(link.owner, link.macId, Ticket::seconds(QDateTime::currentDateTimeUtc()) + 3600);
    }

    // A connection of the phone's (the namespace's first address), opened from this process.
    std::unique_ptr<WsClient> phone()
    {
        auto client = std::make_unique<WsClient>();
        NetNamespace::Inside inside(ns);
        EXPECT_TRUE(inside.ok());
        client->socket().open(QUrl(url()));
        return client;
    }
    bool opened(WsClient& client)
    {
        return QTest::qWaitFor([&] { return client.isOpen() || client.socket().state() == QAbstractSocket::UnconnectedState; },
                               10000)
            && client.isOpen();
    }
    // The owner's phone says hello with a valid ticket; the reply.
    QJsonObject helloWithTicket(WsClient& client, bool takeover = false)
    {
        return client.request(QStringLiteral("hello"), 1, {{"ticket", ticket()}, {"takeover", takeover}}, 10000);
    }
    // A live session still answers requests.
    bool answers(WsClient& client)
    {
        const QJsonObject reply = client.request(QStringLiteral("nope"), 9, {}, 10000);
        return reply.value("error").toString() == QStringLiteral("unknown request \"nope\"");
    }

    // `tailscale whois` runs the agent is waiting for.
    int whoisRuns()
    {
        int runs = 0;
        const QString task = QStringLiteral("/proc/%1/task").arg(agent.pid());
        for (const QString& tid : QDir(task).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile children(task + QLatin1Char('/') + tid + QStringLiteral("/children"));
            if (!children.open(QIODevice::ReadOnly))
                continue;
            for (const QByteArray& child : children.readAll().split(' ')) {
                QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(QString::fromLatin1(child.trimmed())));
                if (!child.trimmed().isEmpty() && cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().contains("whois"))
                    ++runs;
            }
        }
        return runs;
    }

};

} // namespace

TEST_F(UnderAttack, ConnectionFloodFromAnotherAccountLeavesTheOwnerServed)
{
    auto live = phone();
    ASSERT_TRUE(opened(*live));
    ASSERT_TRUE(helloWithTicket(*live).value("ok").toBool()) << agent.log().toStdString();

    // More silent connections than a desktop's descriptor limit, from a stranger's address (one
    // after the other, so that the listen queue's overflow does not stretch the test).
    std::vector<std::unique_ptr<RawClient>> flood;
    for (int i = 0; i < 1100; ++i)
        flood.push_back(std::make_unique<RawClient>(ns, ns.otherPeerAddress(), ns.hostAddress(), port));
    ASSERT_TRUE(agent.waitForLog(QStringLiteral("refused %1 (too many connections waiting)").arg(ns.otherPeerAddress())))
        << agent.log().toStdString();

    // Meanwhile the phone still gets through Tailscale and the ticket check (a second connection
    // is told the Mac is in use), and its live session still answers.
    auto second = phone();
    ASSERT_TRUE(opened(*second)) << agent.log().toStdString();
    EXPECT_EQ(helloWithTicket(*second).value("error").toString(), QStringLiteral("Another device is using this Mac"))
        << agent.log().toStdString();
    EXPECT_TRUE(answers(*live));

    // Handshakes that never come are given up: every silent connection is ended by the agent.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return std::all_of(flood.begin(), flood.end(), [](const auto& c) { return c->endedByServer(); }); }, 40000));
    EXPECT_TRUE(live->isOpen());
    const QString log = agent.log();
    EXPECT_FALSE(log.contains(QStringLiteral("whois failed"))) << log.toStdString();
    EXPECT_FALSE(log.contains(QStringLiteral("tailscale moved"))) << log.toStdString();
    EXPECT_FALSE(log.contains(QStringLiteral("listener failed"))) << log.toStdString();
}

TEST_F(UnderAttack, UnadmittedConnectionsAreFewSmallAndShortLived)
{
    // The phone's own address passes Tailscale, but at most 8 of its connections wait for a hello.
    std::vector<std::unique_ptr<WsClient>> idle;
    for (int i = 0; i < Server::kMaxWaitingPerPeer; ++i) {
        idle.push_back(phone());
        ASSERT_TRUE(opened(*idle.back())) << i;
    }
    auto oneTooMany = phone();
    EXPECT_FALSE(opened(*oneTooMany));
    EXPECT_TRUE(agent.waitForLog(QStringLiteral("refused %1 (too many connections waiting)").arg(ns.peerAddress())));

    // Rows: what an unadmitted connection does, and the close it gets. The gate's 4401 refuses.
    struct Row {
        const char* name;
        std::function<void(WsClient&)> act;
        int code;
    };
    const Row rows[] = {
        {"more bytes than a hello before admission",
         [](WsClient& c) {
             for (int i = 0; i < 4; ++i)
                 c.sendText(QByteArray(20000, ' ') + "{}");
         },
         4401},
        {"a ticket longer than any real one",
         [&](WsClient& c) {
             c.sendText(QJsonDocument(QJsonObject{{"type", "hello"}, {"id", 1}, {"ticket", QString(16000, QLatin1Char('.'))}})
                            .toJson(QJsonDocument::Compact));
         },
         4401},
        {"a 16 MiB ticket", [&](WsClient& c) {
             c.sendText(QJsonDocument(QJsonObject{{"type", "hello"}, {"id", 1}, {"ticket", QString(16 << 20, QLatin1Char('.'))}})
                            .toJson(QJsonDocument::Compact).left((16 << 20) - 16));
         },
         4401},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        rows[i].act(*idle[i]);
        EXPECT_TRUE(idle[i]->waitClosed(10000)) << rows[i].name;
        EXPECT_EQ(idle[i]->closeCode(), rows[i].code) << rows[i].name;
    }

    // The rest never say hello and are closed once their time is up.
    for (std::size_t i = std::size(rows); i < idle.size(); ++i) {
        EXPECT_TRUE(idle[i]->waitClosed(20000)) << i;
        EXPECT_EQ(idle[i]->closeCode(), 4401) << i;
    }
    EXPECT_TRUE(agent.waitForLog(QStringLiteral("closed %1 (not admitted within 10s)").arg(ns.peerAddress())));

    // None of them took the phone's place: it connects and is admitted.
    auto later = phone();
    ASSERT_TRUE(opened(*later));
    EXPECT_TRUE(helloWithTicket(*later).value("ok").toBool()) << agent.log().toStdString();
}

TEST_F(UnderAttack, HungLookupsAreBoundedAndEndWithTheirClients)
{
    writeTailnet(QJsonObject{{"whoisHangs", true}});
    std::vector<std::unique_ptr<RawClient>> waiting;
    for (int i = 0; i < 3; ++i) {
        waiting.push_back(std::make_unique<RawClient>(ns, ns.otherPeerAddress(), ns.hostAddress(), port));
        ASSERT_TRUE(waiting.back()->connected());
        ASSERT_TRUE(waiting.back()->upgrade(ns.hostAddress()));
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return whoisRuns() == 3; }, 10000)) << whoisRuns();

    // Lookups that hang hold up nobody else.
    auto other = phone();
    ASSERT_TRUE(opened(*other));
    EXPECT_TRUE(helloWithTicket(*other).value("ok").toBool()) << agent.log().toStdString();

    // A client that leaves takes its lookup with it.
    waiting.pop_back();
    waiting.pop_back();
    EXPECT_TRUE(QTest::qWaitFor([&] { return whoisRuns() == 1; }, 10000)) << whoisRuns();

    // The one left is refused once its lookup has had its time.
    EXPECT_EQ(waiting.front()->closeCode(20000), 4403);
    EXPECT_TRUE(agent.waitForLog(QStringLiteral("rejected %1 (whois timed out)").arg(ns.otherPeerAddress())));
    EXPECT_TRUE(QTest::qWaitFor([&] { return whoisRuns() == 0; }, 10000)) << whoisRuns();
}

TEST_F(UnderAttack, UnmaskedClientFramesAreAProtocolError)
{
    RawClient client(ns, ns.peerAddress(), ns.hostAddress(), port);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.upgrade(ns.hostAddress()));
    client.sendFrame(0x1, R"({"type":"hello","id":1})", false);
    EXPECT_EQ(client.closeCode(10000), 1002);
}

// Waits for two 30-second binding checks.
TEST_F(UnderAttack, RebindingReplacesTheListenerOnly)
{
    auto live = phone();
    ASSERT_TRUE(opened(*live));
    ASSERT_TRUE(helloWithTicket(*live).value("ok").toBool()) << agent.log().toStdString();

    // The command fails while the interface stands: a failed check, not a move.
    writeTailnet({}, QJsonObject{{"ipFails", true}});
    ASSERT_TRUE(agent.waitForLog(QStringLiteral("tailscale check failed (tailscale ip -4 exited 1)"), 40000))
        << agent.log().toStdString();
    EXPECT_FALSE(agent.log().contains(QStringLiteral("tailscale moved")));

    // The address really moves: a new listener, and the live session carries on.
    ASSERT_TRUE(ns.addHostAddress(ns.otherHostAddress())) << ns.error().toStdString();
    writeTailnet({}, {}, ns.otherHostAddress());
    ASSERT_TRUE(agent.waitForLog(QStringLiteral("listening on %1:%2").arg(ns.otherHostAddress()).arg(port), 40000))
        << agent.log().toStdString();
    EXPECT_TRUE(agent.log().contains(
        QStringLiteral("tailscale moved (%1 in %2); rebinding").arg(ns.otherHostAddress(), ns.hostInterface())));
    EXPECT_TRUE(live->isOpen());
    EXPECT_TRUE(answers(*live));
}
