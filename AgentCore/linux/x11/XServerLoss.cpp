#include "XServerLoss.h"

#include <QString>
#include <QThread>

namespace core::x11 {

namespace {
QtConnectionLoss* active = nullptr; // the innermost instance; main thread only
} // namespace

QtConnectionLoss::QtConnectionLoss(std::function<void()> onLost)
    : onLost_(std::move(onLost))
    , thread_(QThread::currentThreadId())
    , outer_(active)
{
    active = this;
    previous_ = qInstallMessageHandler(&QtConnectionLoss::handler);
}

QtConnectionLoss::~QtConnectionLoss()
{
    qInstallMessageHandler(previous_);
    active = outer_;
}

bool QtConnectionLoss::isLossWarning(const QString& message)
{
    // Qt's xcb platform says "The X11 connection broke (error N). Did the X11 server die?"
    return message.startsWith(QLatin1String("The X11 connection broke"));
}

void QtConnectionLoss::handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    QtConnectionLoss* self = active;
    if (self && type == QtWarningMsg && QThread::currentThreadId() == self->thread_ && !self->fired_
        && isLossWarning(message)) {
        self->fired_ = true;
        if (self->onLost_)
            self->onLost_();
    }
    if (self && self->previous_)
        self->previous_(type, context, message);
}

} // namespace core::x11
