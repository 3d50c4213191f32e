// A message on the control connection: the envelope, then every request's parameters as the
// handlers read them. Only json::DecodeError may come out of a decoder; anything else escapes and
// is reported.
#include "Protocol.h"
#include "RequestTable.h"

#include <cstddef>
#include <cstdint>

using namespace core;

namespace {

template <typename... T> void decodeEach(const json::Reader& message)
{
    (
        [&] {
            try {
                (void)T::decode(message);
            } catch (const json::DecodeError&) {
            }
        }(),
        ...);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    std::optional<json::Reader> message;
    try {
        message.emplace(Wire::parse(bytes));
    } catch (const json::DecodeError&) {
        return 0;
    }
    decodeEach<Envelope, HelloParam, SdpParam, IceParam, DisplayParam, PidParam, QuitParam, BundleParam, WindowParam,
               ActionParam, ClipboardParam>(*message);
    return 0;
}
