#pragma once

#include "Protocol.h"

#include <QString>

#include <optional>
#include <utility>

namespace core {

// What the encoder side reports about the outgoing video at one moment. Counters are cumulative
// for the life of one peer.
struct OutboundVideo {
    double framesEncoded = 0;
    double encodeSeconds = 0;
    double bytesSent = 0;
    // Where a frame's time goes before and after the encoder (see EncoderStats).
    double framesCaptured = 0;
    double captureSeconds = 0;
    double convertSeconds = 0;
    double sendSeconds = 0;
    std::optional<double> framesPerSecond; // since the previous report, when there was one
    std::optional<qint64> width;           // of the encoded frames, once known
    std::optional<qint64> height;
    qint64 targetKbps = 0;
    bool bandwidthLimited = false;
    QString encoder;  // the encoder element's name
    QString mimeType; // "video/H264"
    friend bool operator==(const OutboundVideo&, const OutboundVideo&) = default;
};

// The cumulative counters of one outbound video record, kept between two statistics ticks.
struct OutboundSample {
    double framesEncoded = 0;
    double encodeSeconds = 0;
    double bytesSent = 0;
    double at = 0; // uptime in seconds when taken
    double framesCaptured = 0;
    double captureSeconds = 0;
    double convertSeconds = 0;
    double sendSeconds = 0;
    friend bool operator==(const OutboundSample&, const OutboundSample&) = default;
};

namespace Stats {

// Turns one outbound video report into the event the client shows, with rates against `prev`.
std::pair<StatsEvent, std::optional<OutboundSample>> event(const std::optional<OutboundVideo>& outbound,
                                                           const std::optional<OutboundSample>& prev,
                                                           double now, std::optional<qint64> captureFps);

} // namespace Stats

} // namespace core
