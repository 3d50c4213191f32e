// A session the agent has not equipped yet: over a real loopback connection, its defaults refuse.
#include "AgentProcess.h"
#include "FakeDesktop.h"
#include "Server.h"
#include "Session.h"
#include "WsClient.h"

#include <gtest/gtest.h>

using namespace core;

TEST(SessionDefaults, HelloWithoutGateIsRefused)
{
    const int port = freePortPair();
    FakeDesktop desktop;
    std::vector<std::unique_ptr<Session>> sessions;
    Server server(
        port, std::nullopt,
        [](const QString&, const Server::Decide& decide) {
            decide(Server::Verdict::admit);
            return std::unique_ptr<QObject>();
        },
        [&sessions, &desktop](std::unique_ptr<WSConnection> conn) {
            sessions.push_back(std::make_unique<Session>(std::move(conn), desktop, Config{}, std::nullopt));
            sessions.back()->start();
        },
        [] {});

    WsClient client;
    ASSERT_TRUE(client.open(QStringLiteral("ws://127.0.0.1:%1").arg(port)));
    client.sendText(R"({"type":"hello","id":1,"takeover":true})");
    ASSERT_TRUE(client.waitClosed());
    EXPECT_EQ(client.closeCode(), Close::signIn.code);
    EXPECT_EQ(client.closeReason(), Close::signIn.reason);
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_FALSE(sessions.front()->live());
    sessions.clear(); // connections go before the server that accepted them
}
