#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QThread>

#include <functional>
#include <utility>

namespace core {

// The one way back to the main thread, from pool workers and GStreamer's threads alike: `work(owner)`
// runs there later, unless `owner` is gone by then. Callable from any thread: the QPointer is made
// on the owner's thread and only copied here, and the application object outlives every owner.
template <typename T, typename Work>
void postToMain(QPointer<T> owner, Work work)
{
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [owner = std::move(owner), work = std::move(work)]() mutable {
            if (owner)
                work(owner.data());
        },
        Qt::QueuedConnection);
}

// A callback that, called on any thread, runs `fn` on the main thread while `owner` lives.
template <typename... Args>
std::function<void(Args...)> onMainWhile(const QPointer<QObject>& owner, std::function<void(Args...)> fn)
{
    if (!fn)
        return {};
    return [owner, fn = std::move(fn)](Args... args) {
        postToMain(owner, [fn, args...](QObject*) { fn(args...); });
    };
}

// Debug builds check that an object's entry points are called on the thread that owns it.
inline void assertOwnThread([[maybe_unused]] const QObject* object)
{
    Q_ASSERT_X(QThread::currentThread() == object->thread(), "assertOwnThread", "called off the owning thread");
}

} // namespace core
