#include "BitrateControl.h"

#include <algorithm>
#include <cmath>

namespace core {

namespace {

// Loss below this is noise. Above it each report takes half the lost share off the target: a
// gentle step for the few per cent a busy link drops, a deep one when the link is full.
constexpr double kCleanLoss = 0.01;
// Queueing shows as round-trip time above the smallest one seen by this much (or by 100 %).
constexpr double kDelayGrowth = 0.05;
constexpr double kDelayBackoff = 0.85;
constexpr double kClimb = 1.08;
constexpr qint64 kClimbStepKbps = 100;
// Once loss has gone, the rate the path carried before it is regained this much faster per report
// than new ground is climbed: the picture should not stay soft for long after a passing loss.
constexpr double kRecover = 1.2;

} // namespace

std::optional<double> LossMeter::update(std::optional<double> packetsSent, std::optional<double> packetsLost,
                                        std::optional<double> fractionLost)
{
    std::optional<double> share = fractionLost;
    // Counters that went back belong to a new stream: they start a new baseline.
    if (packetsSent && packetsLost && sent_ && lost_ && *packetsSent > *sent_ && *packetsLost >= *lost_)
        share = std::min(1.0, (*packetsLost - *lost_) / (*packetsSent - *sent_));
    if (packetsSent && packetsLost) {
        sent_ = packetsSent;
        lost_ = packetsLost;
    }
    return share;
}

BitrateControl::BitrateControl(qint64 startKbps, qint64 ceilingKbps)
    : target_(std::clamp(startKbps, std::min(kFloorKbps, ceilingKbps), std::max<qint64>(ceilingKbps, 1)))
    , ceiling_(std::max<qint64>(ceilingKbps, 1))
{
}

void BitrateControl::setCeiling(qint64 ceilingKbps)
{
    ceiling_ = std::max<qint64>(ceilingKbps, 1);
    target_ = std::min(target_, ceiling_);
    if (target_ >= ceiling_)
        lowered_ = false;
}

qint64 BitrateControl::update(std::optional<double> fractionLost, std::optional<double> rttSeconds)
{
    const double loss = fractionLost.value_or(0);
    bool delayGrowing = false;
    if (rttSeconds && *rttSeconds > 0) {
        if (!minRtt_ || *rttSeconds < *minRtt_)
            minRtt_ = *rttSeconds;
        delayGrowing = *rttSeconds > *minRtt_ + std::max(kDelayGrowth, *minRtt_);
    }

    const bool lossy = loss >= kCleanLoss;
    double next = static_cast<double>(target_);
    if (lossy || delayGrowing) {
        // The stronger of the two signals decides.
        next *= std::min(lossy ? 1.0 - loss / 2 : 1.0, delayGrowing ? kDelayBackoff : 1.0);
    } else if (recoverTo_ && target_ < *recoverTo_) {
        next = std::min(next * kRecover, static_cast<double>(*recoverTo_));
    } else {
        next = std::max(next * kClimb, next + kClimbStepKbps);
    }

    const qint64 floor = std::min(kFloorKbps, ceiling_);
    const qint64 before = target_;
    target_ = std::clamp(static_cast<qint64>(std::llround(next)), floor, ceiling_);
    if (target_ < before) {
        lowered_ = true;
        if (lossy && !recoverTo_)
            recoverTo_ = before;
    } else if (target_ >= ceiling_) {
        lowered_ = false;
    }
    if (recoverTo_ && (target_ >= *recoverTo_ || target_ >= ceiling_))
        recoverTo_.reset();
    return target_;
}

} // namespace core
