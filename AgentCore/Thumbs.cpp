#include "Thumbs.h"

#include "FrameSource.h"
#include "FreeWith.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace core::Thumbs {

namespace {

constexpr double kQuality = 0.6;

} // namespace

int64_t height(int64_t width, int64_t displayWidth, int64_t displayHeight)
{
    int64_t h = width * displayHeight;
    if (displayWidth >= 2)
        h /= displayWidth;
    return std::max<int64_t>(h, 2);
}

std::optional<QByteArray> jpeg(const BgrxImage& image, double quality)
{
    const std::unique_ptr<void, FreeWith<tjDestroy>> encoder(tjInitCompress());
    if (!encoder)
        return std::nullopt;
    unsigned char* out = nullptr;
    unsigned long size = 0;
    const int q = std::clamp(int(std::lround(quality * 100)), 1, 100);
    const int rc = tjCompress2(encoder.get(), image.data, image.width, image.stride, image.height, TJPF_BGRX, &out,
                               &size, TJSAMP_420, q, TJFLAG_FASTDCT);
    const std::unique_ptr<unsigned char, FreeWith<tjFree>> owned(out);
    if (rc != 0 || !out)
        return std::nullopt;
    return QByteArray(reinterpret_cast<const char*>(out), qsizetype(size));
}

std::vector<Thumb> captureAll(FrameSource& source, int width)
{
    std::vector<Thumb> thumbs;
    Nv12Converter scaler;
    for (const DisplayInfo& d : source.displays()) {
        const BgrxImage* image = source.still(d);
        if (!image)
            continue;
        const int h = int(height(width, int64_t(d.width), int64_t(d.height)));
        const BgrxImage scaled = scaler.scale(*image, width, h);
        if (auto bytes = jpeg(scaled, kQuality))
            thumbs.push_back({d.id, std::move(*bytes)});
    }
    return thumbs;
}

} // namespace core::Thumbs
