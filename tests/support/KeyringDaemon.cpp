#include "KeyringDaemon.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDir>
#include <QTest>

#include <csignal>
#include <sys/prctl.h>

namespace {

const QString kSecrets = QStringLiteral("org.freedesktop.secrets");
const QString kBusName = QStringLiteral("keyring-test-bus");

std::unique_ptr<KeyringDaemon>* holder = nullptr;

// The daemons end with the test process, even when it crashes.
void endWithParent(QProcess& process)
{
    process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
}

} // namespace

KeyringDaemon& KeyringDaemon::instance()
{
    static std::unique_ptr<KeyringDaemon> daemon = [] {
        std::unique_ptr<KeyringDaemon> d(new KeyringDaemon);
        d->start();
        return d;
    }();
    if (!holder) {
        holder = &daemon;
        // Stop the daemons while the application object still exists.
        qAddPostRoutine([] { holder->reset(); });
    }
    return *daemon;
}

KeyringDaemon::KeyringDaemon() = default;

KeyringDaemon::~KeyringDaemon()
{
    QDBusConnection::disconnectFromBus(kBusName);
    for (auto* p : {keyring_.get(), bus_.get()}) {
        if (p && p->state() != QProcess::NotRunning) {
            p->kill();
            p->waitForFinished(3000);
        }
    }
}

void KeyringDaemon::start()
{
    if (!dir_.isValid()) {
        error_ = QStringLiteral("no temporary directory");
        return;
    }
    const QString root = dir_.path();
    for (const char* sub : {"home", "data", "run"})
        QDir(root).mkpath(QString::fromLatin1(sub));
    QFile::setPermissions(root + QStringLiteral("/run"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    bus_ = std::make_unique<QProcess>();
    endWithParent(*bus_);
    bus_->start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                                 QStringLiteral("--print-address=1")});
    if (!bus_->waitForStarted(5000)) {
        error_ = QStringLiteral("dbus-daemon could not be started: ") + bus_->errorString();
        return;
    }
    while (!bus_->canReadLine()) {
        if (!bus_->waitForReadyRead(10000)) {
            error_ = QStringLiteral("dbus-daemon printed no address");
            return;
        }
    }
    address_ = QString::fromUtf8(bus_->readLine()).trimmed();
    qputenv("DBUS_SESSION_BUS_ADDRESS", address_.toUtf8());

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), root + QStringLiteral("/home"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), root + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), root + QStringLiteral("/run"));
    keyring_ = std::make_unique<QProcess>();
    endWithParent(*keyring_);
    keyring_->setProcessEnvironment(env);
    keyring_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    keyring_->start(QStringLiteral("gnome-keyring-daemon"),
                    {QStringLiteral("--unlock"), QStringLiteral("--components=secrets"), QStringLiteral("--foreground")});
    if (!keyring_->waitForStarted(5000)) {
        error_ = QStringLiteral("gnome-keyring-daemon could not be started: ") + keyring_->errorString();
        return;
    }
    // The password that creates and unlocks the login keyring, ended by end of input.
    keyring_->write("test-password");
    keyring_->closeWriteChannel();

    QDBusConnection bus = QDBusConnection::connectToBus(address_, kBusName);
    if (!bus.isConnected()) {
        error_ = QStringLiteral("cannot connect to the private bus");
        return;
    }
    const bool up = QTest::qWaitFor([&] { return bus.interface()->isServiceRegistered(kSecrets).value(); }, 15000);
    if (!up)
        error_ = QStringLiteral("gnome-keyring-daemon did not register %1").arg(kSecrets);
}

bool KeyringDaemon::lockDefault()
{
    QDBusConnection bus = QDBusConnection(kBusName);
    QDBusMessage alias = QDBusMessage::createMethodCall(kSecrets, QStringLiteral("/org/freedesktop/secrets"),
                                                        QStringLiteral("org.freedesktop.Secret.Service"),
                                                        QStringLiteral("ReadAlias"));
    alias << QStringLiteral("default");
    const QDBusMessage path = bus.call(alias);
    if (path.type() != QDBusMessage::ReplyMessage)
        return false;
    QDBusMessage lock = QDBusMessage::createMethodCall(kSecrets, QStringLiteral("/org/freedesktop/secrets"),
                                                       QStringLiteral("org.freedesktop.Secret.Service"),
                                                       QStringLiteral("Lock"));
    lock << QVariant::fromValue(QList<QDBusObjectPath>{path.arguments().value(0).value<QDBusObjectPath>()});
    return bus.call(lock).type() == QDBusMessage::ReplyMessage;
}

int KeyringDaemon::countItems(const QString& service, const QString& account)
{
    QDBusMessage search = QDBusMessage::createMethodCall(kSecrets, QStringLiteral("/org/freedesktop/secrets"),
                                                         QStringLiteral("org.freedesktop.Secret.Service"),
                                                         QStringLiteral("SearchItems"));
    qDBusRegisterMetaType<QMap<QString, QString>>();
    QMap<QString, QString> attributes{{QStringLiteral("service"), service}, {QStringLiteral("account"), account}};
    search << QVariant::fromValue(attributes);
    const QDBusMessage reply = QDBusConnection(kBusName).call(search);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2)
        return -1;
    int count = 0;
    for (const QVariant& list : reply.arguments())
        count += static_cast<int>(qdbus_cast<QList<QDBusObjectPath>>(list).size());
    return count;
}
