#include "CookieHold.h"

#include "Log.h"

#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace core::os {

CookieHold::CookieHold(const QDBusPendingCall& pending, std::function<void(quint32)> release, QString what)
    : release_(std::move(release))
    , what_(std::move(what))
    , watcher_(std::make_unique<QDBusPendingCallWatcher>(pending))
{
    QObject::connect(watcher_.get(), &QDBusPendingCallWatcher::finished, watcher_.get(), [this] {
        const QDBusPendingReply<quint32> reply = *watcher_;
        if (reply.isError())
            log(QStringLiteral("keep-awake: ") + what_ + QStringLiteral(" inhibit failed: ") + reply.error().message());
        else
            cookie_ = reply.value();
    });
}

CookieHold::~CookieHold()
{
    // The reply can be in while its finished() notice still waits in the event loop.
    if (!cookie_ && watcher_->isFinished()) {
        const QDBusPendingReply<quint32> reply = *watcher_;
        if (!reply.isError())
            cookie_ = reply.value();
    }
    if (cookie_) {
        release_(*cookie_);
    } else if (!watcher_->isFinished()) {
        // Still on its way: the watcher outlives this hold to give back the cookie it brings.
        QDBusPendingCallWatcher* late = watcher_.release();
        late->disconnect();
        QObject::connect(late, &QDBusPendingCallWatcher::finished, late, [late, release = release_] {
            const QDBusPendingReply<quint32> reply = *late;
            if (!reply.isError())
                release(reply.value());
            late->deleteLater();
        });
    }
}

} // namespace core::os
