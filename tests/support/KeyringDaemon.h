#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>

// A private session bus with an unlocked gnome-keyring on it, started once per test process.
// Starting it points this process (and the agents it starts) at that bus, so tests running in
// parallel never share a keyring.
class KeyringDaemon {
public:
    // The process-wide keyring; started on first use. Check ready() and report error().
    static KeyringDaemon& instance();

    bool ready() const { return error_.isEmpty(); }
    const QString& error() const { return error_; }
    const QString& busAddress() const { return address_; }

    // Locks the default keyring (nothing can be read from or written to it until it is unlocked).
    bool lockDefault();
    // How many items carry these attributes, locked or not; -1 when the keyring does not answer.
    int countItems(const QString& service, const QString& account);
    // The daemon's process (to stop or kill it) and the file that holds its login keyring.
    qint64 daemonPid() const { return keyring_ ? keyring_->processId() : 0; }
    QString keyringFile() const { return dir_.path() + QStringLiteral("/data/keyrings/login.keyring"); }

    ~KeyringDaemon();

private:
    KeyringDaemon();
    void start();

    QTemporaryDir dir_;
    std::unique_ptr<QProcess> bus_;
    std::unique_ptr<QProcess> keyring_;
    QString address_;
    QString error_;
};
