#include "SingleInstance.h"

#include "Log.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>

#include <unistd.h>

namespace ui {

namespace {
constexpr char kShow[] = "show\n";
constexpr int kWaitMs = 1000;
} // namespace

QString SingleInstance::defaultName()
{
    QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (dir.isEmpty())
        dir = QDir::tempPath();
    // Agents under different home directories are different agents (the tests run many at once).
    const QByteArray home = QCryptographicHash::hash(QDir::homePath().toUtf8(), QCryptographicHash::Sha256).toHex().left(16);
    return dir + QStringLiteral("/remote-agent-%1-%2.sock").arg(::getuid()).arg(QString::fromLatin1(home));
}

SingleInstance::SingleInstance(QString name, QObject* parent)
    : QObject(parent)
    , name_(std::move(name))
{
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* peer = server_.nextPendingConnection()) {
            connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
                if (!peer->canReadLine())
                    return;
                const bool show = peer->readLine(64) == kShow;
                peer->disconnectFromServer();
                if (show)
                    emit activated();
            });
        }
    });
}

bool SingleInstance::handOver()
{
    QLocalSocket other;
    other.connectToServer(name_);
    if (other.waitForConnected(kWaitMs)) {
        other.write(kShow);
        other.waitForBytesWritten(kWaitMs);
        other.disconnectFromServer();
        return true;
    }
    // Nobody answered: a file left by an instance that crashed is stale.
    QLocalServer::removeServer(name_);
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_.listen(name_))
        core::log(QStringLiteral("single instance: ") + server_.errorString());
    return false;
}

} // namespace ui
