// The configuration file as the agent reads it at start-up. Loading never throws, and a
// configuration accepted without an error text breaks none of the rules.
#include "Config.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const auto [config, error] = core::Config::fromBytes(bytes);
    if (!error && config.problem())
        std::abort();
    (void)config.apiURL();
    return 0;
}
