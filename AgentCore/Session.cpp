#include "Session.h"

#include "Agent.h"
#include "DesktopBackend.h"
#include "DisplaySource.h"
#include "FrameSource.h"
#include "InputPoster.h"
#include "Log.h"
#include "PermissionsProbe.h"
#include "Platform.h"
#include "RTC.h"
#include "ScreenStream.h"
#include "SessionActions.h"
#include "SessionClipboard.h"
#include "SessionApps.h"
#include "Server.h"
#include "Thumbs.h"
#include "Threads.h"

#include <QPointer>
#include <QThreadPool>

namespace core {

Session::Session(std::unique_ptr<WSConnection> ws, DesktopBackend& desktop, Config config,
                 std::optional<QString> configError)
    : ws_(std::move(ws))
    , desktop_(&desktop)
    , config_(std::move(config))
    , configError_(std::move(configError))
    , keepAwake_(desktop.idleInhibitor())
{
    addCoreRequests();
    addThumbRequests();
    addStreamingRequests();
    actions_ = std::make_unique<SessionActions>(*this, *ws_, desktop.actions(), config_.actions, requests_);
    clipboard_ = std::make_unique<SessionClipboard>(desktop, config_.clipboard, [this](const QByteArray& m) { ws_->send(m); });
    clipboard_->addRequests(requests_);
    apps_ = std::make_unique<SessionApps>(
        requests_, desktop.windows(), desktop.displays(), [this](const QByteArray& m) { ws_->send(m); },
        [this] { return live_ && !ended_; });
}

Session::~Session() = default;

void Session::start()
{
    assertOwnThread(this);
    QPointer<Session> self(this);
    ws_->onMessage = [self](const ClientMessage& message) {
        if (self)
            self->handle(message);
    };
    ws_->onClose = [self] {
        if (self)
            self->end();
    };
    // Nothing of the desktop (X connection, status poll, events) exists before admission: an
    // unadmitted client costs the agent a socket and no more.
    ws_->startReceiving();
}

void Session::end()
{
    assertOwnThread(this);
    if (ended_)
        return;
    ended_ = true;
    thumbTimer_.reset();
    clipboard_->end();
    endStreaming();
    keepAwake_.stop();
    if (onEnd)
        onEnd();
}

void Session::close(const CloseCode& why)
{
    assertOwnThread(this);
    ws_->close(why);
    end();
}

void Session::kick()
{
    assertOwnThread(this);
    // The connection sends in order, so the event goes out before the close message.
    ws_->send(Wire::event(Kicked{}));
    close(Close::replaced);
}

void Session::addCoreRequests()
{
    requests_.add(QStringLiteral("hello"), [this](const Request& r) { hello(r); });
    requests_.add(QStringLiteral("displays.list"), [this](const Request& r) { ws_->send(Wire::ok(r.id, desktop_->displays().current())); });
}

void Session::addThumbRequests()
{
    requests_.add(QStringLiteral("thumbs.start"), [this](const Request& r) {
        startThumbs();
        ws_->send(Wire::ok(r.id));
    });
    requests_.add(QStringLiteral("thumbs.stop"), [this](const Request& r) {
        thumbTimer_.reset();
        ws_->send(Wire::ok(r.id));
    });
}

void Session::displaysChanged()
{
    assertOwnThread(this);
    const std::vector<DisplayInfo> displays = desktop_->displays().current();
    ws_->send(Wire::event(DisplaysChanged{displays}));
    followDisplays(displays);
}

void Session::startThumbs()
{
    if (thumbTimer_)
        return;
    thumbTimer_ = std::make_unique<QTimer>();
    thumbTimer_->setInterval(int(config_.thumbs.intervalMs));
    thumbTimer_->setTimerType(Qt::PreciseTimer);
    connect(thumbTimer_.get(), &QTimer::timeout, this, &Session::thumbTick);
    thumbTimer_->start();
    thumbTick();
}

void Session::thumbTick()
{
    // A slow link gets fewer thumbnails rather than a growing queue.
    if (thumbBusy_ || ws_->pending() != 0)
        return;
    // A kept source notices a desktop that went away only when used: then a new one is opened.
    if (!thumbSource_ || thumbSource_->lost()) {
        try {
            thumbSource_ = desktop_->openFrames();
        } catch (const AgentError&) {
            thumbSource_.reset();
            return;
        }
    }
    thumbBusy_ = true;
    QPointer<Session> self(this);
    const int width = int(config_.thumbs.width);
    QThreadPool::globalInstance()->start([self, width, source = thumbSource_] {
        auto thumbs = Thumbs::captureAll(*source, width);
        postToMain(self, [thumbs = std::move(thumbs)](Session* s) {
            s->thumbBusy_ = false;
            if (!s->thumbTimer_)
                return;
            for (const Thumbs::Thumb& t : thumbs)
                s->ws_->send(Wire::event(ThumbEvent{t.displayId, QString::fromLatin1(t.jpeg.toBase64())}));
        });
    });
}

void Session::handle(const ClientMessage& received)
{
    assertOwnThread(this);
    std::optional<Request> request;
    try {
        if (received.object) {
            json::Reader message(*received.object);
            const Envelope envelope = Envelope::decode(message);
            if (envelope.id)
                request.emplace(Request{envelope.type, *envelope.id, std::move(message)});
        }
    } catch (const json::DecodeError&) {
    }
    if (!request) {
        log(QStringLiteral("session: dropped message without type/id"));
        return;
    }
    QPointer<Session> self(this);
    try {
        route(*request);
    } catch (const std::exception& e) {
        if (self)
            ws_->send(Wire::fail(request->id, describe(e)));
    }
}

void Session::route(const Request& request)
{
    if (!live_ && request.type != QLatin1String("hello"))
        throw AgentError(QStringLiteral("send hello first"));
    const RequestTable::Handler* handler = requests_.find(request.type);
    if (!handler)
        throw AgentError(QStringLiteral("unknown request \"%1\"").arg(request.type));
    (*handler)(request);
}

void Session::hello(const Request& request)
{
    const qint64 id = request.id;
    const auto param = request.params<HelloParam>();
    const Gate::Result verdict = gate(param, live_);
    if (!verdict.admitted) {
        log(QStringLiteral("session refused (%1): %2").arg(verdict.code).arg(verdict.reason));
        ws_->close(verdict.code, verdict.reason);
        return;
    }
    ws_->admitted();
    if (!claim(param.takeover.value_or(false)))
        throw AgentError(QStringLiteral("Another device is using this Mac"));

    if (!live_) {
        startStreaming();
        keepAwake_.start();
    }
    live_ = true;
    HelloData hello;
    hello.agentVersion = Agent::version;
    hello.macName = Platform::computerName();
    hello.user = Platform::userName();
    hello.permissions = permissions_;
    hello.locked = locked_;
    hello.configError = configError_;
    hello.displays = desktop_->displays().current();
    ws_->send(Wire::ok(id, hello));
}

} // namespace core
