// The stored device list. What decodes must survive being stored and read back unchanged, or a
// restart would lose or alter devices.
#include "Devices.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const std::optional<core::DeviceList> list = core::DeviceList::decode(bytes);
    if (!list)
        return 0;
    (void)list->visible();
    const std::optional<QByteArray> stored = list->encoded();
    if (!stored || core::DeviceList::decode(*stored) != list)
        std::abort();
    return 0;
}
