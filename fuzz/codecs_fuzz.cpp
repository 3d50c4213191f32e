// The phone's SDP offer and the answer built from it, through every text function the codec
// choice applies to them.
#include "Codecs.h"

#include <cstddef>
#include <cstdint>

using namespace core;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString sdp = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString forced = Codecs::forceH264Level(sdp);
    for (bool h265 : {true, false}) {
        const QString offer = Codecs::preferInOffer(forced, h265);
        const std::vector<Codecs::Payload> payloads = Codecs::videoPayloads(offer);
        for (const Codecs::Payload& p : payloads) {
            (void)p.param(QStringLiteral("profile-level-id"));
            (void)Codecs::isConstrainedBaselineH264(p);
        }
        (void)Codecs::choose(payloads, h265);
        const std::optional<QString> codec = Codecs::negotiated(offer);
        (void)Codecs::effectiveEdge(0, codec);
        (void)Codecs::effectiveFps(120, codec);
    }
    return 0;
}
