#pragma once

#include "Nv12Converter.h"

#include <QByteArray>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

// Small JPEG stills of every display, for the client's overview.
namespace core {
class FrameSource;
}

namespace core::Thumbs {

struct Thumb {
    uint32_t displayId = 0;
    QByteArray jpeg;
};

// One JPEG per display of `source` that could be captured and encoded, `width` pixels wide, in
// display order, without the pointer. Empty when the source is lost. Blocks; run it off the main
// thread, one round at a time per source. Keeping the source from round to round matters:
// mapping a fresh shared-memory segment costs tens of milliseconds of page faults for a large
// screen, far more than the capture itself.
std::vector<Thumb> captureAll(FrameSource& source, int width);

// The thumbnail height for a display of displayWidth x displayHeight: width * height / displayWidth
// (truncated) when the display is at least 2 wide, else width * height; at least 2.
int64_t height(int64_t width, int64_t displayWidth, int64_t displayHeight);

// Baseline JPEG (4:2:0) of a picture at quality 0..1; nothing when encoding fails.
std::optional<QByteArray> jpeg(const BgrxImage& image, double quality);

} // namespace core::Thumbs
