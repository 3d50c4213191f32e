#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

namespace ui {

// One agent per user and home directory: the first launch listens on a local socket, a later
// launch finds it, asks it to show itself and ends. All methods run on the main thread.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    // The socket for this user and home directory, under $XDG_RUNTIME_DIR (else the temporary folder).
    static QString defaultName();

    explicit SingleInstance(QString name = defaultName(), QObject* parent = nullptr);

    // True when another instance answered and was asked to show itself (this process should end);
    // false when this process now is the one instance. Blocks for at most a second.
    bool handOver();

signals:
    // A later launch asked this instance to show itself.
    void activated();

private:
    QString name_;
    QLocalServer server_;
};

} // namespace ui
