// One admitted connection over loopback, its socket on the network thread: what the main thread
// sees of it (parsed messages in order, sends in order, `pending` draining) and that letting go of
// it mid-traffic is safe.
#include "AgentProcess.h"
#include "Log.h"
#include "NetThread.h"
#include "Server.h"
#include "WsClient.h"

#include <QCoreApplication>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

using namespace core;

namespace {

class ConnectionOverLoopback : public ::testing::Test {
protected:
    void SetUp() override
    {
        const int port = freePortPair();
        server = std::make_unique<Server>(
            port, std::nullopt,
            [](const QString&, const Server::Decide& decide) {
                decide(Server::Verdict::trusted);
                return std::unique_ptr<QObject>();
            },
            [this](std::unique_ptr<WSConnection> c) {
                conn = std::move(c);
                conn->onMessage = [this](const ClientMessage& m) {
                    onMain = onMain && QThread::currentThread() == QCoreApplication::instance()->thread();
                    received.push_back(m);
                };
                conn->startReceiving();
            },
            [] {});
        ASSERT_TRUE(client.open(QStringLiteral("ws://127.0.0.1:%1").arg(port)));
        ASSERT_TRUE(QTest::qWaitFor([&] { return conn != nullptr; }, 5000));
    }

    std::unique_ptr<Server> server;
    std::unique_ptr<WSConnection> conn;
    std::vector<ClientMessage> received;
    bool onMain = true;
    WsClient client;
};

TEST_F(ConnectionOverLoopback, MessagesArriveParsedOnTheMainThreadInOrder)
{
    struct Case {
        QByteArray bytes;
        bool binary;
        QJsonObject object; // empty: none expected
        QString error;
    };
    const std::vector<Case> cases = {
        {R"({"type":"a","id":1})", false, {{"type", "a"}, {"id", 1}}, {}},
        {"not json", false, {}, QStringLiteral("the data is not valid JSON (illegal value at offset 1)")},
        {"[1]", false, {}, QStringLiteral("expected a JSON object at the top level")},
        {R"({"type":"é","id":2})", false, {{"type", QStringLiteral("é")}, {"id", 2}}, {}},
        {R"({"type":"b","id":3})", true, {{"type", "b"}, {"id", 3}}, {}},
        {"", false, {}, {}}, // empty messages are not delivered
        {QByteArray("{\"pad\":\"") + QByteArray(8 * 1024 * 1024, 'x') + "\"}", false,
         {{"pad", QString(8 * 1024 * 1024, QLatin1Char('x'))}}, {}},
    };
    for (const Case& c : cases)
        c.binary ? client.sendBinary(c.bytes) : client.sendText(c.bytes);
    const size_t delivered = cases.size() - 1;
    ASSERT_TRUE(QTest::qWaitFor([&] { return received.size() >= delivered; }, 20000));
    EXPECT_TRUE(onMain);
    ASSERT_EQ(received.size(), delivered);
    size_t at = 0;
    for (const Case& c : cases) {
        if (c.bytes.isEmpty())
            continue;
        const ClientMessage& m = received[at++];
        EXPECT_EQ(m.size, c.bytes.size()) << c.bytes.left(40).toStdString();
        EXPECT_EQ(m.object.has_value(), !c.object.isEmpty()) << c.bytes.left(40).toStdString();
        if (m.object) {
            EXPECT_EQ(*m.object, c.object) << c.bytes.left(40).toStdString();
        }
        EXPECT_EQ(m.error, c.error) << c.bytes.left(40).toStdString();
    }
}

TEST_F(ConnectionOverLoopback, SendsLeaveInOrderAndPendingDrains)
{
    constexpr int kCount = 40;
    for (int i = 0; i < kCount; ++i) {
        // One message large enough to keep the network thread writing while more are handed over.
        const QByteArray pad = i == kCount / 2 ? QByteArray(12 * 1024 * 1024, 'p') : QByteArray();
        conn->send(QByteArray::number(i) + pad);
    }
    EXPECT_GT(conn->pending(), 0);
    for (int i = 0; i < kCount; ++i) {
        const std::optional<QByteArray> m = client.next(20000);
        ASSERT_TRUE(m);
        EXPECT_TRUE(m->startsWith(QByteArray::number(i))) << i;
        EXPECT_EQ(m->size(), QByteArray::number(i).size() + (i == kCount / 2 ? 12 * 1024 * 1024 : 0)) << i;
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return conn->pending() == 0; }, 5000));
}

TEST_F(ConnectionOverLoopback, LettingGoMidTrafficClosesTheSocket)
{
    int closes = 0;
    conn->onClose = [&closes] { ++closes; };
    for (int i = 0; i < 200; ++i) {
        client.sendText(R"({"type":"x","id":1})");
        conn->send("{}");
    }
    conn.reset(); // with messages and sends still on their way between the threads
    EXPECT_TRUE(client.waitClosed(10000));
    EXPECT_EQ(closes, 0);
}

// Left running, the thread would still serve sockets while the application object and Qt's globals
// are torn down around it.
TEST(NetThread, StopsWhenTheApplicationEnds)
{
    // A fresh process: a forked one would hold the state of a thread that did not come along.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            NetThread::home();
            // The end of main(), as far as the thread can tell; the child leaves at once after it.
            QCoreApplication::instance()->~QCoreApplication();
            std::_Exit(NetThread::running() ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(ServerPorts, OnlyPortsOutsideOneTo65535AreBad)
{
    const struct {
        int port;
        bool bad;
    } rows[] = {{0, true}, {1, false}, {65535, false}, {65536, true}};
    for (const auto& row : rows) {
        // A good port may still be refused by the system (in use, privileged), just not as bad.
        QString error;
        try {
            Server server(
                row.port, std::nullopt,
                [](const QString&, const Server::Decide&) { return std::unique_ptr<QObject>(); },
                [](std::unique_ptr<WSConnection>) {}, [] {});
        } catch (const AgentError& e) {
            error = e.description();
        }
        EXPECT_EQ(error == QStringLiteral("bad port %1").arg(row.port), row.bad) << row.port << ": " << error.toStdString();
    }
}

// A main thread busy with a session must not stall reading, masking checks or pongs.
TEST_F(ConnectionOverLoopback, SocketsLiveOnOneRunningThreadOtherThanTheMainOne)
{
    QObject* home = NetThread::home();
    ASSERT_TRUE(home);
    EXPECT_EQ(NetThread::home(), home);
    EXPECT_NE(home->thread(), QCoreApplication::instance()->thread());
    EXPECT_TRUE(home->thread()->isRunning());
    EXPECT_TRUE(NetThread::running());
    // The connection's socket side is adopted there (asked on that thread, where its children change).
    EXPECT_TRUE(QTest::qWaitFor([&] {
        qsizetype sides = 0;
        QMetaObject::invokeMethod(home, [&] { sides = home->children().size(); }, Qt::BlockingQueuedConnection);
        return sides >= 1;
    }, 5000));
}

} // namespace
