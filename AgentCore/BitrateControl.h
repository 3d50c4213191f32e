#pragma once

#include <QtGlobal>

#include <optional>

namespace core {

// The sender's own congestion control: webrtcbin does none. Fed once a second with what the
// receiver's RTCP reports say (fraction of packets lost, round-trip time), it lowers the encoder's
// target on loss or growing delay and climbs back toward the ceiling while the path is clean,
// quickly up to the rate it had before loss began, then slowly.
// The share of packets lost since the previous look, from the cumulative counters: the receiver's
// last report alone covers whatever span it was sent for (a browser sends one with every
// retransmission request), which makes its fraction swing between nothing and several times the
// real loss. Without usable counters the report's fraction stands.
class LossMeter {
public:
    std::optional<double> update(std::optional<double> packetsSent, std::optional<double> packetsLost,
                                 std::optional<double> fractionLost);

private:
    std::optional<double> sent_;
    std::optional<double> lost_;
};

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
