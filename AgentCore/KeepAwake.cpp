#include "KeepAwake.h"

namespace core {

KeepAwake::KeepAwake(IdleInhibitor& inhibitor, std::chrono::milliseconds activityInterval)
    : inhibitor_(&inhibitor)
    , activityInterval_(activityInterval)
{
}

void KeepAwake::start()
{
    if (timer_)
        return;
    hold_ = inhibitor_->hold(name);
    inhibitor_->declareActivity();
    timer_ = std::make_unique<QTimer>();
    timer_->setInterval(activityInterval_);
    // The timer dies with this object, so the slot never outlives it.
    QObject::connect(timer_.get(), &QTimer::timeout, timer_.get(), [this] { inhibitor_->declareActivity(); });
    timer_->start();
}

void KeepAwake::stop()
{
    timer_.reset();
    hold_.reset();
}

} // namespace core
