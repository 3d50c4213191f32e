#pragma once

#include "Config.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>

namespace core {

class ClipboardWatcher;
class DesktopBackend;
class RequestTable;
struct WatcherSlot;

// A session's clipboard sync: "clipboard.get", "clipboard.set" and the "clipboard" event. Watching
// starts with the session's first clipboard request, never before. Request bodies and polls run
// on the clipboard thread; their replies and events come back here to be sent.
// All methods run on the main thread. The session owns this object; the desktop is borrowed from
// the agent, which outlives its sessions.
class SessionClipboard : public QObject {
    Q_OBJECT
public:
    SessionClipboard(DesktopBackend& desktop, Config::Clipboard config, std::function<void(const QByteArray&)> send);
    ~SessionClipboard() override;

    void addRequests(RequestTable& requests);
    // Stops watching; replies still on their way are dropped.
    void end();

private:
    void start();
    void tick();
    // Runs `body` on the clipboard thread and sends what it yields, or its error as the failure
    // reply for `id`.
    void run(qint64 id, std::function<QByteArray(ClipboardWatcher&)> body);
    // Throws the refusal when the configuration turned sync off.
    void requireSync() const;

    DesktopBackend& desktop_;
    const Config::Clipboard config_;
    std::function<void(const QByteArray&)> send_;
    // Shared with the jobs on the clipboard thread, the only place its watcher is touched.
    std::shared_ptr<WatcherSlot> slot_;
    QTimer pollTimer_;
    bool polling_ = false; // a poll is queued or running: ticks meanwhile are skipped
    bool ended_ = false;
};

} // namespace core
