#pragma once

#include "Apps.h"

#include <QJsonArray>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <functional>

namespace core {

class DisplaySource;
class RequestTable;
class WindowControl;

// A session's applications and windows: the apps.* / app.* / window.focus requests and the
// "apps.changed" event, sent 0.5 s after the last of a burst of window changes when the list
// differs from what the client was last told. Each application's icon goes to the client once per
// session; later lists carry "" for it. Main thread. Owned by
// its session; the window control and displays are the backend's, which outlives sessions.
class SessionApps : public QObject {
    Q_OBJECT
public:
    // `send` delivers a message to the client; `live` tells whether the client was admitted (no
    // event goes out before that: the list of windows is nobody else's business).
    SessionApps(RequestTable& requests, WindowControl& windows, DisplaySource& displays,
                std::function<void(const QByteArray&)> send, std::function<bool()> live);

    // The running applications as the client is to see them; records them and their icons as told.
    std::vector<AppInfo> snapshot(const std::vector<Apps::Running>& apps);

private:
    std::vector<Apps::Running> running();
    // The running application with that pid; throws "no app with pid N" (the agent's own too).
    Apps::Running app(qint32 pid);
    QString icon(const Apps::Running& app);
    void hide(qint32 pid);
    void quit(qint32 pid, bool force);
    void focus(qint32 pid);
    std::optional<quint32> focusWindow(quint32 id);

    WindowControl& windows_;
    DisplaySource& displays_;
    std::function<void(const QByteArray&)> send_;
    std::function<bool()> live_;
    QSet<QString> sentIcons_;
    QJsonArray told_; // the last list sent, without icons
    QTimer changed_;
};

} // namespace core
