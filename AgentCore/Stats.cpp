#include "Stats.h"

namespace core::Stats {

namespace {

std::optional<double> number(const QJsonObject& o, const char* key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (!v.isDouble())
        return std::nullopt;
    return v.toDouble();
}

std::optional<QString> text(const QJsonObject& o, const char* key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (!v.isString())
        return std::nullopt;
    return v.toString();
}

std::optional<qint64> truncated(std::optional<double> v)
{
    if (!v)
        return std::nullopt;
    return static_cast<qint64>(*v);
}

} // namespace

std::pair<StatsEvent, std::optional<OutboundSample>> event(const std::optional<QJsonObject>& outbound,
                                                           const std::optional<QString>& codec,
                                                           const std::optional<OutboundSample>& prev,
                                                           double now, std::optional<qint64> captureFps)
{
    StatsEvent e;
    e.captureFps = captureFps;
    if (!outbound)
        return {e, std::nullopt};

    const QJsonObject& o = *outbound;
    e.encodeFps = number(o, "framesPerSecond");
    e.width = truncated(number(o, "frameWidth"));
    e.height = truncated(number(o, "frameHeight"));
    if (auto target = number(o, "targetBitrate"))
        e.targetKbps = static_cast<qint64>(*target / 1000);
    e.limit = text(o, "qualityLimitationReason");
    e.encoder = text(o, "encoderImplementation");
    e.codec = codec;

    const OutboundSample sample{number(o, "framesEncoded").value_or(0), number(o, "totalEncodeTime").value_or(0),
                                number(o, "bytesSent").value_or(0), now};
    // Counters that went back belong to a new peer: the previous sample is no baseline for them.
    const bool sameCounters = prev && sample.bytesSent >= prev->bytesSent && sample.framesEncoded >= prev->framesEncoded;
    if (sameCounters && now > prev->at) {
        e.sentKbps = static_cast<qint64>((sample.bytesSent - prev->bytesSent) * 8 / 1000 / (now - prev->at));
        const double frames = sample.framesEncoded - prev->framesEncoded;
        if (frames > 0)
            e.encodeMs = (sample.encodeSeconds - prev->encodeSeconds) / frames * 1000;
    }
    return {e, sample};
}

} // namespace core::Stats
