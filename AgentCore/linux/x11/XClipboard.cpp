#include "XClipboard.h"

#include "Log.h"
#include "XSelection.h"

#include <QMetaObject>

namespace core::x11 {

std::unique_ptr<Clipboard> Clipboard::open()
{
    QString why;
    auto selection = Selection::open(&why);
    if (!selection) {
        log(QStringLiteral("clipboard: ") + why + QStringLiteral(", clipboard kept in the agent only"));
        return nullptr;
    }
    return std::unique_ptr<Clipboard>(new Clipboard(std::move(selection)));
}

Clipboard::Clipboard(std::unique_ptr<Selection> selection) : selection_(std::move(selection))
{
    thread_.setObjectName(QStringLiteral("remote-agent.clipboard"));
    selection_->moveToThread(&thread_);
    thread_.start();
    QMetaObject::invokeMethod(selection_.get(), [s = selection_.get()] { s->start(); }, Qt::QueuedConnection);
}

Clipboard::~Clipboard()
{
    // The socket notifier belongs to the clipboard thread and must go there.
    QMetaObject::invokeMethod(selection_.get(), [s = selection_.get()] { s->stop(); }, Qt::BlockingQueuedConnection);
    thread_.quit();
    thread_.wait();
}

void Clipboard::post(std::function<void()> job)
{
    QMetaObject::invokeMethod(
        selection_.get(),
        [s = selection_.get(), job = std::move(job)] {
            job();
            // Replies read by the job may have brought events that the socket will not signal again.
            s->drain();
        },
        Qt::QueuedConnection);
}

quint64 Clipboard::changeCount()
{
    selection_->drain();
    return selection_->changes();
}

QStringList Clipboard::formats() { return selection_->formats(); }

std::optional<QByteArray> Clipboard::data(const QString& format) { return selection_->data(format); }

void Clipboard::write(const QString& format, const QByteArray& bytes) { selection_->write(format, bytes); }

} // namespace core::x11
