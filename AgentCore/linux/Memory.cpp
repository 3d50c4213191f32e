#include "Memory.h"

#include <malloc.h>

namespace core::os {

namespace {
// Blocks from this size up are mapped apart. A fixed threshold also stops glibc from raising it
// after each freed frame, which would put every later frame into an arena that never shrinks.
constexpr int kMapThresholdBytes = 256 * 1024;
} // namespace

void mapLargeBlocksApart() { mallopt(M_MMAP_THRESHOLD, kMapThresholdBytes); }

void returnFreeMemory() { malloc_trim(0); }

} // namespace core::os
