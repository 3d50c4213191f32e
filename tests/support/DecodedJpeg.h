#pragma once

#include <QByteArray>

#include <cstdint>
#include <optional>
#include <vector>

// A JPEG decoded back to 8-bit RGB, for checking what the agent encoded.
struct DecodedJpeg {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;

    static std::optional<DecodedJpeg> decode(const QByteArray& jpeg);
    // The colour at (x, y) as 0xRRGGBB.
    uint32_t at(int x, int y) const;
};
