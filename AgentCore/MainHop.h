#pragma once

#include <QMetaObject>
#include <QObject>

#include <functional>
#include <memory>
#include <mutex>

namespace core {

// Moves work from foreign threads (GStreamer's) to the thread of one QObject. The owner detaches
// the hop before it dies; work posted after that, or still queued when the owner is destroyed, is
// dropped. Copies of the shared pointer may outlive the owner.
class MainHop {
public:
    explicit MainHop(QObject* target) : target_(target) {}

    static std::shared_ptr<MainHop> to(QObject* target) { return std::make_shared<MainHop>(target); }

    void post(std::function<void()> work)
    {
        std::lock_guard lock(mutex_);
        if (target_)
            QMetaObject::invokeMethod(target_, std::move(work), Qt::QueuedConnection);
    }

    // Called by the owner on its own thread, before it is destroyed.
    void detach()
    {
        std::lock_guard lock(mutex_);
        target_ = nullptr;
    }

private:
    std::mutex mutex_;
    QObject* target_;
};

} // namespace core
