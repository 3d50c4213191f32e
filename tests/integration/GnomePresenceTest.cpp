// Lock state and keep-awake in a GNOME session, against stand-ins for GNOME's screen saver and
// session manager on a private session bus.
#include "FakeGnomeSession.h"
#include "PrivateBus.h"
#include "linux/GnomePresence.h"

#include <QSignalSpy>
#include <QTest>
#include <QUuid>

#include <gtest/gtest.h>

using namespace core;

namespace {

constexpr int kWaitMs = 15000;

class GnomePresenceTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(bus.address().isEmpty()) << "dbus-daemon did not start"; }
    void TearDown() override { QDBusConnection::disconnectFromBus(name); }

    QDBusConnection connect() { return QDBusConnection::connectToBus(bus.address(), name); }

    PrivateBus bus;
    const QString name = QUuid::createUuid().toString();
};

TEST_F(GnomePresenceTest, LockFollowsGnomesScreenSaverAndHoldsGoThroughItsSessionManager)
{
    FakeGnomeSession gnome(bus.address());
    ASSERT_TRUE(gnome.ok());
    gnome.setLocked(true);
    os::GnomePresence presence(connect());
    EXPECT_TRUE(presence.locked());

    QSignalSpy changed(&presence, &LockState::changed);
    gnome.setLocked(false);
    ASSERT_TRUE(changed.wait(kWaitMs));
    EXPECT_FALSE(changed.takeFirst().at(0).toBool());
    EXPECT_FALSE(presence.locked());

    auto hold = presence.hold(QStringLiteral("streaming"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return gnome.held() == 1; }, kWaitMs));
    EXPECT_EQ(gnome.lastFlags(), 4u | 8u) << "idle and suspend";
    hold.reset();
    EXPECT_TRUE(QTest::qWaitFor([&] { return gnome.held() == 0; }, kWaitMs));
}

TEST_F(GnomePresenceTest, WithoutGnomesServicesTheScreenCountsAsUnlockedAndHoldsStillWork)
{
    os::GnomePresence presence(connect());
    EXPECT_FALSE(presence.locked());
    EXPECT_TRUE(presence.hold(QStringLiteral("streaming")));
}

} // namespace
