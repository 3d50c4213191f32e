#include "SessionClipboard.h"

#include "ClipboardWatcher.h"
#include "DesktopBackend.h"
#include "Log.h"
#include "Protocol.h"
#include "RequestTable.h"
#include "Threads.h"

#include <QPointer>

namespace core {

struct WatcherSlot {
    std::unique_ptr<ClipboardWatcher> watcher;
};

namespace {

template <typename T> T carrying(const std::optional<Clip>& clip)
{
    T out;
    if (clip && clip->kind == Clip::Kind::text)
        out.text = QString::fromUtf8(clip->bytes);
    else if (clip)
        out.png = QString::fromLatin1(clip->bytes.toBase64());
    return out;
}

} // namespace

SessionClipboard::SessionClipboard(DesktopBackend& desktop, Config::Clipboard config,
                                   std::function<void(const QByteArray&)> send)
    : desktop_(desktop)
    , config_(config)
    , send_(std::move(send))
{
    pollTimer_.setInterval(500);
    connect(&pollTimer_, &QTimer::timeout, this, &SessionClipboard::tick);
}

SessionClipboard::~SessionClipboard() = default;

void SessionClipboard::addRequests(RequestTable& requests)
{
    requests.add(QStringLiteral("clipboard.get"), [this](const Request& r) {
        requireSync();
        run(r.id, [id = r.id](ClipboardWatcher& w) { return Wire::ok(id, carrying<ClipboardData>(w.current())); });
    });
    requests.add(QStringLiteral("clipboard.set"), [this](const Request& r) {
        requireSync();
        // Decoded there too: the image's text is as large as the message.
        run(r.id, [request = r](ClipboardWatcher& w) {
            w.set(Clip::fromParam(request.params<ClipboardParam>()));
            return Wire::ok(request.id);
        });
    });
}

void SessionClipboard::requireSync() const
{
    if (!config_.sync)
        throw AgentError(QStringLiteral("Clipboard sync is off on the Mac"));
}

void SessionClipboard::end()
{
    ended_ = true;
    pollTimer_.stop();
}

void SessionClipboard::start()
{
    slot_ = std::make_shared<WatcherSlot>();
    Clipboard& clipboard = desktop_.clipboard();
    clipboard.post([slot = slot_, &clipboard] { slot->watcher = std::make_unique<ClipboardWatcher>(clipboard); });
    pollTimer_.start();
}

void SessionClipboard::run(qint64 id, std::function<QByteArray(ClipboardWatcher&)> body)
{
    assertOwnThread(this);
    if (!slot_)
        start();
    QPointer<SessionClipboard> self(this);
    desktop_.clipboard().post([self, id, slot = slot_, body = std::move(body)] {
        QByteArray reply;
        try {
            reply = body(*slot->watcher);
        } catch (const std::exception& e) {
            reply = Wire::fail(id, describe(e));
        }
        postToMain(self, [reply = std::move(reply)](SessionClipboard* s) {
            if (!s->ended_)
                s->send_(reply);
        });
    });
}

void SessionClipboard::tick()
{
    if (polling_)
        return;
    polling_ = true;
    QPointer<SessionClipboard> self(this);
    desktop_.clipboard().post([self, slot = slot_] {
        std::optional<Clip> clip = slot->watcher->poll();
        // Encoded here: base64 and JSON of an 8 MiB image would hold up the main thread.
        QByteArray message = clip ? Wire::event(carrying<ClipboardEvent>(clip)) : QByteArray();
        postToMain(self, [message = std::move(message)](SessionClipboard* s) {
            s->polling_ = false;
            if (!message.isEmpty() && !s->ended_)
                s->send_(message);
        });
    });
}

} // namespace core
