#pragma once

#include <QObject>

namespace core {

// Whether the login session's screen is locked. Main thread; changed() is emitted there.
class LockState : public QObject {
    Q_OBJECT
public:
    // False when the desktop cannot tell.
    virtual bool locked() const = 0;

signals:
    // The screen was locked (true) or unlocked (false).
    void changed(bool locked);
};

} // namespace core
