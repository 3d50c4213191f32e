// The unpaired notification through a notification service on the real session bus
// (dbus-run-session).
#include "Notifier.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QTest>

#include <gtest/gtest.h>

namespace {

// A stand-in notification server: records what it is asked to show.
class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList shown;
public slots:
    Q_SCRIPTABLE uint Notify(const QString& app, uint, const QString&, const QString& summary, const QString& body,
                             const QStringList&, const QVariantMap&, int)
    {
        shown << app + " | " + summary + " | " + body;
        return 1;
    }
};

} // namespace

TEST(Notifier, UnpairedReachesTheNotificationService)
{
    ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "run under dbus-run-session";
    ui::Notifier absent;
    absent.unpaired(); // nobody serves the name yet: nothing happens

    QDBusConnection server = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("notify-server"));
    FakeNotifications fake;
    ASSERT_TRUE(server.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &fake,
                                      QDBusConnection::ExportScriptableSlots));
    ASSERT_TRUE(server.registerService(QStringLiteral("org.freedesktop.Notifications")));

    ui::Notifier().unpaired();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !fake.shown.isEmpty(); }, 10000));
    EXPECT_EQ(fake.shown, QStringList{"Dorvane | Dorvane | This Mac was unpaired."});
    server.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
    QDBusConnection::disconnectFromBus(QStringLiteral("notify-server"));
}

#include "NotifierTest.moc"
