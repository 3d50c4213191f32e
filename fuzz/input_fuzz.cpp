// One message from the phone's input data channel.
#include "InputEvent.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    (void)core::InputEvent::tryDecode(bytes);
    return 0;
}
