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
#include "Server.h"
#include "Thumbs.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThreadPool>

namespace core {

Session::Session(std::unique_ptr<WSConnection> ws, DesktopBackend& desktop, Config config,
                 std::optional<QString> configError)
    : ws_(std::move(ws))
    , desktop_(&desktop)
    , config_(std::move(config))
    , configError_(std::move(configError))
{
}

Session::~Session() = default;

void Session::start()
{
    QPointer<Session> self(this);
    ws_->onText = [self](const QByteArray& data) {
        if (self)
            self->handle(data);
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
    if (ended_)
        return;
    ended_ = true;
    thumbTimer_.reset();
    endStreaming();
    if (onEnd)
        onEnd();
}

void Session::displaysChanged()
{
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
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, thumbs = std::move(thumbs)] {
                if (!self)
                    return;
                self->thumbBusy_ = false;
                if (!self->thumbTimer_)
                    return;
                for (const Thumbs::Thumb& t : thumbs)
                    self->ws_->send(Wire::event(ThumbEvent{t.displayId, QString::fromLatin1(t.jpeg.toBase64())}));
            },
            Qt::QueuedConnection);
    });
}

void Session::handle(const QByteArray& data)
{
    Envelope envelope;
    try {
        envelope = Envelope::decode(Wire::parse(data));
    } catch (const json::DecodeError&) {
        envelope.id.reset();
    }
    if (!envelope.id) {
        log(QStringLiteral("session: dropped message without type/id"));
        return;
    }
    const qint64 id = *envelope.id;
    QPointer<Session> self(this);
    try {
        route(envelope.type, id, data);
    } catch (const std::exception& e) {
        if (self)
            ws_->send(Wire::fail(id, describe(e)));
    }
}

void Session::route(const QString& type, qint64 id, const QByteArray& data)
{
    if (!live_ && type != QLatin1String("hello"))
        throw AgentError(QStringLiteral("send hello first"));

    if (type == QLatin1String("hello"))
        return hello(id, data);
    if (type == QLatin1String("displays.list"))
        return ws_->send(Wire::ok(id, desktop_->displays().current()));
    if (type == QLatin1String("thumbs.start")) {
        startThumbs();
        return ws_->send(Wire::ok(id));
    }
    if (type == QLatin1String("thumbs.stop")) {
        thumbTimer_.reset();
        return ws_->send(Wire::ok(id));
    }
    if (routeStreaming(type, id, data))
        return;

    throw AgentError(QStringLiteral("unknown request \"%1\"").arg(type));
}

void Session::hello(qint64 id, const QByteArray& data)
{
    const auto param = Wire::decode<HelloParam>(data);
    const Gate::Result verdict = gate(param, live_);
    if (!verdict.admitted) {
        log(QStringLiteral("session refused (%1): %2").arg(verdict.code).arg(verdict.reason));
        ws_->close(verdict.code, verdict.reason);
        return;
    }
    ws_->admitted();
    if (!claim(param.takeover.value_or(false)))
        throw AgentError(QStringLiteral("Another device is using this Mac"));

    if (!live_)
        startStreaming();
    live_ = true;
    HelloData hello;
    hello.agentVersion = Agent::version;
    hello.macName = Platform::computerName();
    hello.user = Platform::userName();
    hello.permissions = desktop_->permissions().probe();
    hello.locked = locked_;
    hello.configError = configError_;
    hello.displays = desktop_->displays().current();
    ws_->send(Wire::ok(id, hello));
}

} // namespace core
