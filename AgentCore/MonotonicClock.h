#pragma once

#include <cstdint>
#include <ctime>

// CLOCK_MONOTONIC: what frame timestamps and the statistics' uptime are measured on, so that they
// compare with each other and with other processes reading the same clock.
namespace core {

inline int64_t monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Process uptime in seconds on the monotonic clock.
inline double uptimeSeconds() { return double(monotonicNs()) / 1e9; }

} // namespace core
