#pragma once

#include <QString>

#include <algorithm>
#include <optional>
#include <vector>

// SDP text work for codec choice and the per-codec limits of the encoder. Pure functions.
namespace core::Codecs {

// Forces the H.264 level of every profile-level-id to 5.2 (34), keeping profile and constraints.
QString forceH264Level(const QString& sdp);

// Preference rank of a codec name: H.265 first when enabled, then H.264, then the rest.
int rank(const QString& name, bool h265);

// Reorders the payload types of the first video section by `rank`; retransmission payloads go
// with the codec they repair. Returns the text unchanged when it has no video section.
QString preferInOffer(const QString& sdp, bool h265);

// The codec name of the first payload type of the first video section, if any.
std::optional<QString> negotiated(const QString& sdp);

// The same stable ordering as `preferInOffer`, for any list with a name per item.
template <typename T, typename NameOf>
std::vector<T> preferred(std::vector<T> items, bool h265, NameOf nameOf)
{
    std::stable_sort(items.begin(), items.end(),
                     [&](const T& a, const T& b) { return rank(nameOf(a), h265) < rank(nameOf(b), h265); });
    return items;
}

// H.264 decoders on phones stop at 3840 pixels and 60 frames per second.
qint64 effectiveEdge(qint64 edge, const std::optional<QString>& codec);
qint64 effectiveFps(qint64 fps, const std::optional<QString>& codec);

// One payload type of a video section as offered.
struct Payload {
    int type = 0;
    QString codec;      // rtpmap encoding name, e.g. "H264"
    int clockRate = 0;
    QString fmtp;       // the format parameters, e.g. "packetization-mode=1;profile-level-id=42e034"
    std::optional<int> repairs; // for retransmission payloads ("apt=")

    // A named format parameter ("packetization-mode"), if present.
    std::optional<QString> param(const QString& name) const;
};

// The payload types of the first video section, in the order they are listed.
std::vector<Payload> videoPayloads(const QString& sdp);

// True for an H.264 payload in packetization mode 1 whose profile is constrained baseline (what
// the zero-latency encoder produces).
bool isConstrainedBaselineH264(const Payload& p);

// The payload to send on: the first, in offer order, that this agent can encode — H.265 when
// `h265` (enabled, and a real-time encoder exists), otherwise constrained-baseline H.264.
std::optional<Payload> choose(const std::vector<Payload>& offered, bool h265);

} // namespace core::Codecs
