#include "CapturePacing.h"

#include <algorithm>

namespace core {

CapturePacing::CapturePacing(std::chrono::nanoseconds interval) { setInterval(interval); }

void CapturePacing::setInterval(std::chrono::nanoseconds interval)
{
    interval_ = std::max(interval, std::chrono::nanoseconds(0));
    tolerance_ = interval_ / 4;
}

CapturePacing::Time CapturePacing::sent(Time at)
{
    // On time or early, the schedule keeps its beat; late, it starts again from this frame, so
    // a quiet spell earns no burst.
    due_ = std::max(due_, at) + interval_;
    return earliest();
}

CapturePacing::Time CapturePacing::owed(Time at) { return std::max(earliest(), at + interval_); }

CapturePacing::Time CapturePacing::changed(Time at) const { return std::max(earliest(), at); }

CapturePacing::Time CapturePacing::earliest() const { return due_ - tolerance_; }

bool encoderFreeInTime(std::chrono::nanoseconds encoding, std::chrono::nanoseconds encodeTakes,
                       std::chrono::nanoseconds captureTakes)
{
    return encodeTakes - encoding <= captureTakes;
}

} // namespace core
