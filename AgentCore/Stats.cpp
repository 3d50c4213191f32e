#include "Stats.h"

namespace core::Stats {

std::pair<StatsEvent, std::optional<OutboundSample>> event(const std::optional<OutboundVideo>& outbound,
                                                           const std::optional<OutboundSample>& prev,
                                                           double now, std::optional<qint64> captureFps)
{
    StatsEvent e;
    e.captureFps = captureFps;
    if (!outbound)
        return {e, std::nullopt};

    const OutboundVideo& o = *outbound;
    e.encodeFps = o.framesPerSecond;
    e.width = o.width;
    e.height = o.height;
    e.targetKbps = o.targetKbps;
    e.limit = o.bandwidthLimited ? QStringLiteral("bandwidth") : QStringLiteral("none");
    e.encoder = o.encoder;
    e.codec = o.mimeType;

    const OutboundSample sample{o.framesEncoded, o.encodeSeconds, o.bytesSent, now,
                                o.framesCaptured, o.captureSeconds, o.convertSeconds, o.sendSeconds};
    // Counters that went back belong to a new peer: the previous sample is no baseline for them.
    const bool sameCounters = prev && sample.bytesSent >= prev->bytesSent && sample.framesEncoded >= prev->framesEncoded;
    if (sameCounters && now > prev->at) {
        e.sentKbps = static_cast<qint64>((sample.bytesSent - prev->bytesSent) * 8 / 1000 / (now - prev->at));
        const double frames = sample.framesEncoded - prev->framesEncoded;
        if (frames > 0) {
            e.encodeMs = (sample.encodeSeconds - prev->encodeSeconds) / frames * 1000;
            e.sendMs = (sample.sendSeconds - prev->sendSeconds) / frames * 1000;
        }
        const double captured = sample.framesCaptured - prev->framesCaptured;
        if (captured > 0) {
            e.captureMs = (sample.captureSeconds - prev->captureSeconds) / captured * 1000;
            e.convertMs = (sample.convertSeconds - prev->convertSeconds) / captured * 1000;
        }
    }
    return {e, sample};
}

} // namespace core::Stats
