#pragma once

#include <cstdint>
#include <vector>

namespace core {

struct Nv12Buffer;

// A 32-bit BGRX picture (X's 24-bit depth layout, libyuv's "ARGB") in memory someone else owns.
struct BgrxImage {
    const uint8_t* data = nullptr;
    int stride = 0;
    int width = 0;
    int height = 0;
};

// Scaling and colour conversion of captured pictures, with scratch buffers kept between frames.
// One converter per thread.
class Nv12Converter {
public:
    // `image` scaled to width x height (box filter when shrinking, bilinear otherwise); the image
    // itself when it already has that size. The result lives until the next call.
    BgrxImage scale(const BgrxImage& image, int width, int height);
    // Full-range (JPEG) BT.601 NV12 of an image of exactly the buffer's size.
    void toNv12(const BgrxImage& image, Nv12Buffer& out);

private:
    std::vector<uint8_t> scaled_;
    std::vector<uint8_t> u_;
    std::vector<uint8_t> v_;
};

} // namespace core
