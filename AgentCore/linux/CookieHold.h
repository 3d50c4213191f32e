#pragma once

#include "IdleInhibitor.h"

#include <QDBusPendingCall>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QDBusPendingCallWatcher;

namespace core::os {

// An inhibition a D-Bus service grants as a cookie, given back through `release` when the hold
// goes, also when the cookie arrives only after that. Services tie cookies to the caller's bus
// connection too, so an agent that dies releases them as well. Main thread.
class CookieHold : public IdleInhibitor::Hold {
public:
    // `pending` is the call whose reply is the cookie; a failed call is logged as "keep-awake: "
    // + `what` + " inhibit failed: " and the reason.
    CookieHold(const QDBusPendingCall& pending, std::function<void(quint32)> release, QString what);
    ~CookieHold() override;

private:
    std::function<void(quint32)> release_;
    QString what_;
    std::optional<quint32> cookie_;
    std::unique_ptr<QDBusPendingCallWatcher> watcher_;
};

} // namespace core::os
