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
    for (const bool startLocked : {true, false}) {
        SCOPED_TRACE(startLocked ? "starting locked" : "starting unlocked");
        gnome.setLocked(startLocked);
        ::testing::internal::CaptureStderr();
        os::GnomePresence presence(connect());
        const std::string log = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(log.find("presence: lock state from GNOME's screen saver, keep-awake through GNOME's session manager"),
                  std::string::npos) << log;
        EXPECT_EQ(presence.locked(), startLocked);

        QSignalSpy changed(&presence, &LockState::changed);
        gnome.setLocked(!startLocked);
        ASSERT_TRUE(changed.wait(kWaitMs));
        EXPECT_EQ(changed.takeFirst().at(0).toBool(), !startLocked);
        EXPECT_EQ(presence.locked(), !startLocked);
    }
    os::GnomePresence presence(connect());

    auto hold = presence.hold(QStringLiteral("streaming"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return gnome.held() == 1; }, kWaitMs));
    EXPECT_EQ(gnome.lastFlags(), 4u | 8u) << "idle and suspend";
    hold.reset();
    EXPECT_TRUE(QTest::qWaitFor([&] { return gnome.held() == 0; }, kWaitMs));
}

TEST_F(GnomePresenceTest, AHoldEndedBeforeItsCookieCameGivesItBackWhenItComes)
{
    FakeGnomeSession gnome(bus.address());
    ASSERT_TRUE(gnome.ok());
    os::GnomePresence presence(connect());
    gnome.holdAnswers(true);
    auto hold = presence.hold(QStringLiteral("streaming"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return gnome.asked() == 1; }, kWaitMs));
    hold.reset(); // must not wait for the answer
    gnome.holdAnswers(false);
    EXPECT_TRUE(QTest::qWaitFor([&] { return gnome.answered() == 1 && gnome.held() == 0; }, kWaitMs));
}

TEST_F(GnomePresenceTest, WithoutGnomesServicesTheScreenCountsAsUnlockedAndHoldsStillWork)
{
    os::GnomePresence presence(connect());
    EXPECT_FALSE(presence.locked());
    EXPECT_TRUE(presence.hold(QStringLiteral("streaming")));
}

} // namespace
