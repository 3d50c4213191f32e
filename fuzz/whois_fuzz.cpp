// The output of `tailscale whois --json`, which describes a peer the agent does not control.
#include "Json.h"
#include "Tailscale.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    try {
        (void)core::Tailscale::decodeWhois(bytes);
    } catch (const core::json::DecodeError&) {
    }
    return 0;
}
