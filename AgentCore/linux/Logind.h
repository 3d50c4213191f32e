#pragma once

#include "IdleInhibitor.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <memory>

namespace core::os {

// This login session as systemd-logind on the system bus sees it: its lock hint and the idle and
// sleep inhibitors the agent takes. Main thread.
class Logind : public QObject {
    Q_OBJECT
public:
    // The login session this process belongs to ($XDG_SESSION_ID, else the session of this process,
    // else logind's "auto" session), or none, with `why`, when logind cannot name one.
    static std::unique_ptr<Logind> connect(QString& why);

    bool lockedHint() const { return locked_; }
    // Takes a blocking "idle:sleep" inhibitor, held until the hold is destroyed. The request goes
    // out at once; the descriptor that holds it arrives later.
    std::unique_ptr<IdleInhibitor::Hold> inhibit(const QString& why);

signals:
    void lockedHintChanged(bool locked);

private slots:
    void propertiesChanged(const QString& interface, const QVariantMap& changed, const QStringList& invalidated);

private:
    Logind(QDBusConnection bus, QString session);

    QDBusConnection bus_;
    const QString session_; // object path
    bool locked_ = false;
};

} // namespace core::os
