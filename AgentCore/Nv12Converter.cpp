#include "Nv12Converter.h"

#include "FramePool.h"

#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>
#include <libyuv/scale_argb.h>

#include <algorithm>

namespace core {

BgrxImage Nv12Converter::scale(const BgrxImage& image, int width, int height)
{
    return scale(image, width, height, PixelRect{0, 0, width, height});
}

void Nv12Converter::toNv12(const BgrxImage& image, Nv12Buffer& out)
{
    const int w = out.frame.width, h = out.frame.height;
    const int cw = w / 2, ch = h / 2;
    u_.resize(size_t(cw) * size_t(ch));
    v_.resize(size_t(cw) * size_t(ch));
    // libyuv has no direct full-range NV12 path: full-range I420 first, then interleave U and V.
    libyuv::ARGBToJ420(image.data, image.stride, out.y(), out.frame.strideY, u_.data(), cw, v_.data(), cw, w, h);
    libyuv::MergeUVPlane(u_.data(), cw, v_.data(), cw, out.uv(), out.frame.strideUV, cw, ch);
}

PixelRect Nv12Converter::affected(const PixelRect& changed, int fromWidth, int fromHeight, int width, int height)
{
    if (changed.empty() || fromWidth <= 0 || fromHeight <= 0)
        return {};
    // A scaled pixel reads the source pixels its box covers (shrinking) or its two neighbours
    // (bilinear): two pixels of margin cover both.
    const auto span = [](int from, int length, int fromSize, int size, int* start, int* end) {
        const int margin = size == fromSize ? 0 : 2;
        const int64_t first = int64_t(from) * size / fromSize - margin;
        const int64_t last = (int64_t(from + length) * size + fromSize - 1) / fromSize + margin;
        // Even edges: a chroma sample covers two by two pixels.
        *start = int(std::clamp<int64_t>(first, 0, size)) & ~1;
        *end = std::min(size, (int(std::clamp<int64_t>(last, 0, size)) + 1) & ~1);
    };
    int x0 = 0, x1 = 0, y0 = 0, y1 = 0;
    span(changed.x, changed.width, fromWidth, width, &x0, &x1);
    span(changed.y, changed.height, fromHeight, height, &y0, &y1);
    if (x1 <= x0 || y1 <= y0)
        return {};
    return {x0, y0, x1 - x0, y1 - y0};
}

BgrxImage Nv12Converter::scale(const BgrxImage& image, int width, int height, const PixelRect& part)
{
    if (image.width == width && image.height == height)
        return image;
    const int stride = width * 4;
    scaled_.resize(size_t(stride) * size_t(height));
    const auto filter = width < image.width ? libyuv::kFilterBox : libyuv::kFilterBilinear;
    libyuv::ARGBScaleClip(image.data, image.stride, image.width, image.height, scaled_.data(), stride, width, height,
                          part.x, part.y, part.width, part.height, filter);
    return {scaled_.data(), stride, width, height};
}

void Nv12Converter::toNv12(const BgrxImage& image, Nv12Buffer& out, const PixelRect& part)
{
    const int cw = part.width / 2, ch = part.height / 2;
    u_.resize(std::max(u_.size(), size_t(cw) * size_t(ch)));
    v_.resize(std::max(v_.size(), size_t(cw) * size_t(ch)));
    libyuv::ARGBToJ420(image.data + size_t(part.y) * size_t(image.stride) + size_t(part.x) * 4, image.stride,
                       out.y() + size_t(part.y) * size_t(out.frame.strideY) + size_t(part.x), out.frame.strideY,
                       u_.data(), cw, v_.data(), cw, part.width, part.height);
    libyuv::MergeUVPlane(u_.data(), cw, v_.data(), cw,
                         out.uv() + size_t(part.y / 2) * size_t(out.frame.strideUV) + size_t(part.x),
                         out.frame.strideUV, cw, ch);
}

void Nv12Converter::copy(const VideoFrame& from, Nv12Buffer& out)
{
    const int w = out.frame.width, h = out.frame.height;
    libyuv::CopyPlane(from.y, from.strideY, out.y(), out.frame.strideY, w, h);
    libyuv::CopyPlane(from.uv, from.strideUV, out.uv(), out.frame.strideUV, w, h / 2);
}

} // namespace core
