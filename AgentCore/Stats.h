#pragma once

#include "Protocol.h"

#include <QJsonObject>
#include <QString>

#include <optional>
#include <utility>

namespace core {

// The cumulative counters of one outbound video record, kept between two statistics ticks.
struct OutboundSample {
    double framesEncoded = 0;
    double encodeSeconds = 0;
    double bytesSent = 0;
    double at = 0; // uptime in seconds when taken
    friend bool operator==(const OutboundSample&, const OutboundSample&) = default;
};

namespace Stats {

// Turns one outbound video record ("framesEncoded", "totalEncodeTime", "bytesSent",
// "framesPerSecond", "frameWidth", "frameHeight", "targetBitrate", "qualityLimitationReason",
// "encoderImplementation") into the event the client shows, with rates against `prev`.
// Only JSON numbers count as numbers and only JSON strings as strings.
std::pair<StatsEvent, std::optional<OutboundSample>> event(const std::optional<QJsonObject>& outbound,
                                                           const std::optional<QString>& codec,
                                                           const std::optional<OutboundSample>& prev,
                                                           double now, std::optional<qint64> captureFps);

} // namespace Stats

} // namespace core
