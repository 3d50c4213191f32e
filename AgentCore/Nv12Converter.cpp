#include "Nv12Converter.h"

#include "FramePool.h"

#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>
#include <libyuv/scale_argb.h>

namespace core {

BgrxImage Nv12Converter::scale(const BgrxImage& image, int width, int height)
{
    if (image.width == width && image.height == height)
        return image;
    const int stride = width * 4;
    scaled_.resize(size_t(stride) * size_t(height));
    const auto filter = width < image.width ? libyuv::kFilterBox : libyuv::kFilterBilinear;
    libyuv::ARGBScale(image.data, image.stride, image.width, image.height, scaled_.data(), stride, width, height,
                      filter);
    return {scaled_.data(), stride, width, height};
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

} // namespace core
