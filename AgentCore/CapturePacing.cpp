#include "CapturePacing.h"

#include <algorithm>

namespace core {

CapturePacing::CapturePacing(std::chrono::nanoseconds interval) { setInterval(interval); }

void CapturePacing::setInterval(std::chrono::nanoseconds interval)
{
    interval_ = std::max(interval, std::chrono::nanoseconds(0));
    spacing_ = interval_ - interval_ / 4;
}

CapturePacing::Time CapturePacing::sent(Time at)
{
    // On time or early, the schedule keeps its beat; late, it starts again from this frame, so
    // a quiet spell earns no burst.
    due_ = std::max(due_, at) + interval_;
    last_ = at;
    return earliest();
}

CapturePacing::Time CapturePacing::owed(Time at) { return std::max(earliest(), at + interval_); }

CapturePacing::Time CapturePacing::changed(Time at) const { return std::max(earliest(), at); }

CapturePacing::Time CapturePacing::earliest() const
{
    // The schedule only ever moves later (a late frame moves it), so it is held to within one
    // interval ahead of the frames; the spacing keeps frames apart.
    return std::max(due_ - interval_, last_ + spacing_);
}

bool encoderFreeInTime(std::chrono::nanoseconds encoding, std::chrono::nanoseconds encodeTakes,
                       std::chrono::nanoseconds captureTakes)
{
    return encodeTakes - encoding <= captureTakes;
}

} // namespace core
