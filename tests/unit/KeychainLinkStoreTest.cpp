#include "KeychainLinkStore.h"
#include "KeyringDaemon.h"
#include "linux/SecretStore.h"

#include <gtest/gtest.h>

#include <QTemporaryFile>

#include <unistd.h>

using namespace core;

namespace {

// Collects what this process writes to standard error while it lives.
class StderrCapture {
public:
    StderrCapture()
    {
        file_.open();
        fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        dup2(file_.handle(), STDERR_FILENO);
    }
    ~StderrCapture() { restore(); }
    QString text()
    {
        restore();
        file_.seek(0);
        return QString::fromUtf8(file_.readAll());
    }

private:
    void restore()
    {
        if (saved_ < 0)
            return;
        fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        saved_ = -1;
    }
    QTemporaryFile file_;
    int saved_ = -1;
};

Linked sampleLink(const QString& owner = QStringLiteral("user-1"))
{
    return {QStringLiteral("mac-1"), owner, QStringLiteral("ann@example.com"), QString(64, QLatin1Char('b')),
            MacDetails{QStringLiteral("n1"), QStringLiteral("Desk"), QStringLiteral("desk.ts.net"), 7420,
                       QStringLiteral("ann@example.com")}};
}

class Keychain : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(KeyringDaemon::instance().ready()) << KeyringDaemon::instance().error().toStdString();
        store.clear();
        store.savePendingUnpair(std::nullopt);
    }
    KeychainLinkStore store;
};

} // namespace

TEST_F(Keychain, EmptyKeyringHasNoLink)
{
    EXPECT_FALSE(store.load());
    EXPECT_FALSE(store.loadPendingUnpair());
}

TEST_F(Keychain, LinkSurvivesANewStoreAndSavingTwiceKeepsOneValue)
{
    store.save(sampleLink(QStringLiteral("first")));
    store.save(sampleLink());
    EXPECT_EQ(KeychainLinkStore().load(), sampleLink());
    EXPECT_EQ(KeyringDaemon::instance().countItems(KeychainLinkStore::service, QStringLiteral("pairing")), 1);
}

TEST_F(Keychain, ClearForgetsOnlyTheLink)
{
    store.save(sampleLink());
    store.savePendingUnpair(QStringLiteral("tok"));
    store.clear();
    EXPECT_FALSE(store.load());
    EXPECT_EQ(KeyringDaemon::instance().countItems(KeychainLinkStore::service, QStringLiteral("pairing")), 0);
    EXPECT_EQ(store.loadPendingUnpair(), QStringLiteral("tok"));
    store.savePendingUnpair(std::nullopt);
    EXPECT_FALSE(store.loadPendingUnpair());
}

TEST_F(Keychain, PendingTokenIsUtf8WithInvalidBytesReplaced)
{
    store.savePendingUnpair(QString::fromUtf8("t\xc3\xa9"));
    EXPECT_EQ(store.loadPendingUnpair(), QString::fromUtf8("t\xc3\xa9"));
    ASSERT_FALSE(SecretStore::write(KeychainLinkStore::service, QStringLiteral("pending-unpair"), QStringLiteral("x"), "a\xff"));
    EXPECT_EQ(store.loadPendingUnpair(), QStringLiteral("a") + QChar(QChar::ReplacementCharacter));
}

TEST_F(Keychain, UnreadableLinkReadsAsNone)
{
    ASSERT_FALSE(SecretStore::write(KeychainLinkStore::service, QStringLiteral("pairing"), QStringLiteral("x"),
                                    R"({"macId":"m","owner":"u","token":"t"})"));
    EXPECT_FALSE(store.load());
}

TEST_F(Keychain, OtherServicesAreSeparate)
{
    store.save(sampleLink());
    EXPECT_FALSE(SecretStore::read(QStringLiteral("some.other.app"), QStringLiteral("pairing")));
    SecretStore::remove(QStringLiteral("some.other.app"), QStringLiteral("pairing"));
    EXPECT_EQ(store.load(), sampleLink());
}

// Locking cannot be undone without a user, so this runs last in its process.
TEST_F(Keychain, ZLockedKeyringReadsEmptyAndRefusesWritesWithALogLine)
{
    store.save(sampleLink());
    ASSERT_TRUE(KeyringDaemon::instance().lockDefault());
    EXPECT_FALSE(store.load());
    StderrCapture capture;
    store.save(sampleLink(QStringLiteral("other")));
    store.savePendingUnpair(QStringLiteral("tok"));
    const QString log = capture.text();
    EXPECT_EQ(log.count(QStringLiteral("keychain save failed (")), 2) << log.toStdString();
    EXPECT_FALSE(store.loadPendingUnpair());
}
