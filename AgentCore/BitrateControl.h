#pragma once

#include <QtGlobal>

#include <optional>

namespace core {

// The sender's own congestion control: webrtcbin does none. Fed once a second with what the
// receiver's RTCP reports say (fraction of packets lost, round-trip time), it lowers the encoder's
// target on loss or growing delay and climbs back toward the ceiling while the path is clean,
// quickly up to the rate it had before loss began, then slowly.
class BitrateControl {
public:
    static constexpr qint64 kFloorKbps = 300;

    BitrateControl(qint64 startKbps, qint64 ceilingKbps);

    // A new ceiling (profile change); the target never exceeds it.
    void setCeiling(qint64 ceilingKbps);
    // One receiver report. Returns the new target in kbit/s.
    qint64 update(std::optional<double> fractionLost, std::optional<double> rttSeconds);

    qint64 target() const { return target_; }
    qint64 ceiling() const { return ceiling_; }
    // True while receiver reports hold the target below the ceiling: set when a report lowered it,
    // until it is back at the ceiling. The start below the ceiling is not a limit.
    bool limited() const { return lowered_ && target_ < ceiling_; }

private:
    qint64 target_;
    qint64 ceiling_;
    std::optional<double> minRtt_;
    std::optional<qint64> recoverTo_; // the target before the current loss lowered it
    bool lowered_ = false;
};

} // namespace core
