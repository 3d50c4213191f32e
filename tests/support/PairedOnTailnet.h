#pragma once

#include "AgentProcess.h"
#include "CloudProcess.h"
#include "KeychainLinkStore.h"
#include "KeyringDaemon.h"
#include "NetNamespace.h"
#include "PairingRecords.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <unistd.h>

// A paired agent on the stand-in tailnet: the namespace's host address is this computer, the stand-in
// cloud holds the link, the keyring has it. A fixture checks what it needs (`SetUp` here), writes the
// tailnet description to `tailnetFile()`, then calls `startPairedAgent()`.
class PairedOnTailnet : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(::geteuid(), 0u) << "these tests create network namespaces and must run as root";
        ASSERT_TRUE(ns.error().isEmpty()) << ns.error().toStdString();
        ASSERT_TRUE(KeyringDaemon::instance().ready()) << KeyringDaemon::instance().error().toStdString();
        ASSERT_TRUE(cloud.start()) << cloud.error().toStdString();
        ASSERT_TRUE(dir.isValid());
    }

    QString tailnetFile() const { return dir.path() + QStringLiteral("/tailnet.json"); }

    // Pairs with the cloud, stores the link and starts the agent listening on the host address.
    void startPairedAgent()
    {
        token = core::PairCode::secret();
        link = {cloud.pairMac(token, QStringLiteral("user-1")), QStringLiteral("user-1"), QStringLiteral("a@b.c"), token,
                std::nullopt};
        ASSERT_FALSE(link.macId.isEmpty());
        core::KeychainLinkStore().savePendingUnpair(std::nullopt);
        core::KeychainLinkStore().save(link);

        port = freePortPair();
        agent.writeConfig(QStringLiteral(R"({"port":%1,"api":"%2"})").arg(port).arg(cloud.base()).toUtf8());
        agent.setEnv(QStringLiteral("FAKE_TAILNET"), tailnetFile());
        agent.setEnv(QStringLiteral("PATH"), QStringLiteral(FAKE_TAILSCALE_DIR ":") + qEnvironmentVariable("PATH"));
        agent.setEnv(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), KeyringDaemon::instance().busAddress());
        ASSERT_TRUE(ns.addHostAddress()) << ns.error().toStdString();
        ASSERT_TRUE(agent.start({}));
        ASSERT_TRUE(agent.waitForLog(QStringLiteral("listening on %1:%2").arg(ns.hostAddress()).arg(port)))
            << agent.log().toStdString();
    }

    NetNamespace ns;
    CloudProcess cloud;
    QTemporaryDir dir;
    AgentProcess agent;
    QString token;
    core::Linked link;
    int port = 0;
};
