#include "DecodedJpeg.h"

#include "FreeWith.h"

#include <turbojpeg.h>

#include <memory>

std::optional<DecodedJpeg> DecodedJpeg::decode(const QByteArray& jpeg)
{
    const std::unique_ptr<void, core::FreeWith<tjDestroy>> d(tjInitDecompress());
    int w = 0, h = 0, subsampling = 0, colourspace = 0;
    const auto* src = reinterpret_cast<const unsigned char*>(jpeg.constData());
    if (!d || tjDecompressHeader3(d.get(), src, (unsigned long)jpeg.size(), &w, &h, &subsampling, &colourspace) != 0)
        return std::nullopt;
    DecodedJpeg out;
    out.width = w;
    out.height = h;
    out.rgb.resize(size_t(w) * size_t(h) * 3);
    if (tjDecompress2(d.get(), src, (unsigned long)jpeg.size(), out.rgb.data(), w, w * 3, h, TJPF_RGB, 0) != 0)
        return std::nullopt;
    return out;
}

uint32_t DecodedJpeg::at(int x, int y) const
{
    const uint8_t* p = rgb.data() + (size_t(y) * size_t(width) + size_t(x)) * 3;
    return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
}
