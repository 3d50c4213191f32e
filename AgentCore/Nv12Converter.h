#pragma once

#include <cstdint>
#include <vector>

namespace core {

struct Nv12Buffer;
struct VideoFrame;

// A 32-bit BGRX picture (X's 24-bit depth layout, libyuv's "ARGB") in memory someone else owns.
struct BgrxImage {
    const uint8_t* data = nullptr;
    int stride = 0;
    int width = 0;
    int height = 0;
};

// A rectangle of a picture, in its pixels.
struct PixelRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool empty() const { return width <= 0 || height <= 0; }
    friend bool operator==(const PixelRect&, const PixelRect&) = default;
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

    // For pictures of which only small parts changed since the last frame. The part of a
    // width x height output whose pixels depend on `changed` (a rectangle of a picture of
    // fromWidth x fromHeight scaled to it), widened to even edges: what scaling and conversion
    // must redo when only `changed` changed.
    static PixelRect affected(const PixelRect& changed, int fromWidth, int fromHeight, int width, int height);
    // `part` of scale(image, width, height); only that part of the result is written, the rest
    // holds whatever an earlier call left there.
    BgrxImage scale(const BgrxImage& image, int width, int height, const PixelRect& part);
    // toNv12() of `part` (even edges) of the image only; the rest of `out` is left as it was.
    void toNv12(const BgrxImage& image, Nv12Buffer& out, const PixelRect& part);
    // Copies all of `from` (of the buffer's size) into `out`.
    static void copy(const VideoFrame& from, Nv12Buffer& out);

private:
    std::vector<uint8_t> scaled_;
    std::vector<uint8_t> u_;
    std::vector<uint8_t> v_;
};

} // namespace core
