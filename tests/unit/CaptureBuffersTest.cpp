#include "FramePool.h"
#include "Nv12Converter.h"
#include "Thumbs.h"
#include "DecodedJpeg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

using namespace core;

TEST(FramePool, BuffersComeBackWhenTheLastFrameIsReleased)
{
    FramePool pool(4, 2, 2);
    auto a = pool.acquire();
    ASSERT_TRUE(a);
    VideoFramePtr held = FramePool::share(a);
    a.reset();
    auto b = pool.acquire();
    ASSERT_TRUE(b);
    VideoFramePtr held2 = FramePool::share(b);
    b.reset();
    EXPECT_NE(held->y, held2->y);
    EXPECT_FALSE(pool.acquire()); // both are downstream

    const uint8_t* firstPlane = held->y;
    held.reset();
    auto again = pool.acquire();
    ASSERT_TRUE(again);
    EXPECT_EQ(again->frame.y, firstPlane); // the same storage, reused
    EXPECT_EQ(again->frame.width, 4);
    EXPECT_EQ(again->frame.strideUV, 4);
}

namespace {

// A solid BGRX picture.
std::vector<uint8_t> solid(int w, int h, uint8_t r, uint8_t g, uint8_t b)
{
    std::vector<uint8_t> px(size_t(w) * size_t(h) * 4);
    for (size_t i = 0; i < px.size(); i += 4) {
        px[i] = b;
        px[i + 1] = g;
        px[i + 2] = r;
        px[i + 3] = 255;
    }
    return px;
}

} // namespace

TEST(Nv12Converter, FullRangeColours)
{
    struct Row {
        uint8_t r, g, b;
        int y, u, v;
    };
    // Full-range BT.601: black is Y 0, white Y 255, neutral chroma 128.
    const Row rows[] = {
        {0, 0, 0, 0, 128, 128},
        {255, 255, 255, 255, 128, 128},
        {255, 0, 0, 76, 85, 255},
        {0, 0, 255, 29, 255, 107},
    };
    Nv12Converter converter;
    for (const Row& row : rows) {
        const auto px = solid(8, 4, row.r, row.g, row.b);
        Nv12Buffer out(8, 4);
        converter.toNv12({px.data(), 32, 8, 4}, out);
        EXPECT_NEAR(out.frame.y[0], row.y, 2) << int(row.r) << "," << int(row.g) << "," << int(row.b);
        EXPECT_NEAR(out.frame.uv[0], row.u, 2);
        EXPECT_NEAR(out.frame.uv[1], row.v, 2);
        EXPECT_EQ(out.frame.y[31], out.frame.y[0]);
    }
}

TEST(Nv12Converter, ScalesOnlyWhenTheSizeDiffers)
{
    const auto px = solid(20, 10, 10, 200, 30);
    Nv12Converter converter;
    const BgrxImage same = converter.scale({px.data(), 80, 20, 10}, 20, 10);
    EXPECT_EQ(same.data, px.data());
    const BgrxImage half = converter.scale({px.data(), 80, 20, 10}, 10, 4);
    EXPECT_EQ(half.width, 10);
    EXPECT_EQ(half.height, 4);
    EXPECT_EQ(half.stride, 40);
    EXPECT_NEAR(half.data[1], 200, 3); // the box filter rounds a little
    // One side the same is still a different size.
    for (const auto& [w, h] : {std::pair{20, 6}, std::pair{12, 10}}) {
        const BgrxImage one = converter.scale({px.data(), 80, 20, 10}, w, h);
        EXPECT_NE(one.data, px.data()) << w << "x" << h;
        EXPECT_EQ(one.width, w);
        EXPECT_EQ(one.height, h);
    }
}

namespace {

// A BGRX picture whose every pixel differs from its neighbours, so that a scaled pixel read from the
// wrong source pixels shows; `changed` holds other colours.
std::vector<uint8_t> pattern(int w, int h, const PixelRect& changed = {})
{
    std::vector<uint8_t> px(size_t(w) * size_t(h) * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &px[(size_t(y) * size_t(w) + size_t(x)) * 4];
            const bool in = x >= changed.x && x < changed.x + changed.width && y >= changed.y && y < changed.y + changed.height;
            p[0] = uint8_t(x * 7 + y * 3 + (in ? 90 : 0));
            p[1] = uint8_t(x * y + (in ? 40 : 0));
            p[2] = uint8_t(255 - x * 5 - y * 11 + (in ? 130 : 0));
            p[3] = 255;
        }
    return px;
}

std::vector<uint8_t> planes(const Nv12Buffer& b)
{
    std::vector<uint8_t> all(b.frame.y, b.frame.y + size_t(b.frame.width) * size_t(b.frame.height));
    all.insert(all.end(), b.frame.uv, b.frame.uv + size_t(b.frame.width) * size_t(b.frame.height) / 2);
    return all;
}

} // namespace

// What a frame that only the pointer changed is made of: the last frame copied, and only the part a
// changed rectangle affects scaled and converted again, must be the frame converting it all gives.
TEST(Nv12Converter, ConvertingTheAffectedPartEqualsConvertingItAll)
{
    const struct {
        const char* name;
        int fromWidth, fromHeight, width, height;
        PixelRect changed;
    } rows[] = {
        {"same size, odd edges", 64, 32, 64, 32, {13, 7, 11, 9}},
        {"shrunk", 64, 32, 40, 20, {13, 7, 11, 9}},
        {"enlarged", 40, 20, 64, 32, {5, 3, 7, 5}},
        {"shrunk, at the far corner", 64, 32, 40, 20, {58, 27, 6, 5}},
        {"a picture one pixel wide", 1, 8, 2, 8, {0, 2, 1, 2}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto before = pattern(row.fromWidth, row.fromHeight);
        const auto after = pattern(row.fromWidth, row.fromHeight, row.changed);
        const BgrxImage beforeImage{before.data(), row.fromWidth * 4, row.fromWidth, row.fromHeight};
        const BgrxImage afterImage{after.data(), row.fromWidth * 4, row.fromWidth, row.fromHeight};
        Nv12Converter converter;
        Nv12Buffer last(row.width, row.height), whole(row.width, row.height), partly(row.width, row.height);
        converter.toNv12(converter.scale(beforeImage, row.width, row.height), last);
        converter.toNv12(converter.scale(afterImage, row.width, row.height), whole);

        Nv12Converter::copy(last.frame, partly);
        const PixelRect part = Nv12Converter::affected(row.changed, row.fromWidth, row.fromHeight, row.width, row.height);
        ASSERT_FALSE(part.empty());
        converter.toNv12(converter.scale(afterImage, row.width, row.height, part), partly, part);
        EXPECT_NE(planes(last), planes(whole)); // the change shows at all
        EXPECT_EQ(planes(partly), planes(whole));
    }
}

TEST(Nv12Converter, NothingIsAffectedByAnEmptyChangeOrPicture)
{
    const struct {
        const char* name;
        PixelRect changed;
        int fromWidth, fromHeight;
    } rows[] = {
        {"empty change", {3, 3, 0, 4}, 16, 16},
        {"picture of no width", {0, 0, 2, 2}, 0, 16},
        {"picture of no height", {0, 0, 2, 2}, 16, 0},
    };
    for (const auto& row : rows)
        EXPECT_TRUE(Nv12Converter::affected(row.changed, row.fromWidth, row.fromHeight, 16, 16).empty()) << row.name;
}

TEST(Thumbs, HeightFollowsTheIntegerRule)
{
    EXPECT_EQ(Thumbs::height(320, 1512, 982), 207);
    EXPECT_EQ(Thumbs::height(480, 1920, 1080), 270);
    EXPECT_EQ(Thumbs::height(320, 1, 5), 1600); // no division for a width below 2
    EXPECT_EQ(Thumbs::height(320, 2, 5), 800);
    EXPECT_EQ(Thumbs::height(320, 0, 0), 2);
    EXPECT_EQ(Thumbs::height(320, 3000, 1), 2);
}

TEST(Thumbs, JpegOfAPictureDecodesBackToItsSize)
{
    const auto px = solid(64, 36, 0, 0, 255);
    const auto bytes = Thumbs::jpeg({px.data(), 64 * 4, 64, 36}, 0.6);
    ASSERT_TRUE(bytes);
    const auto decoded = DecodedJpeg::decode(*bytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->width, 64);
    EXPECT_EQ(decoded->height, 36);
    const uint32_t c = decoded->at(30, 20);
    EXPECT_LE(c >> 16, 8u);
    EXPECT_LE((c >> 8) & 0xff, 8u);
    EXPECT_GE(c & 0xff, 245u);
}

// The luminance quantisation table in the file shows the quality used: the JPEG standard's table
// scaled the libjpeg way (quality 60 scales by 80 %). Summed, so the zigzag order does not matter.
TEST(Thumbs, JpegQualityIsTheGivenFractionOfAHundred)
{
    static const int kStandardLuminance[64] = {
        16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
        14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
        18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
        49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99,
    };
    int want = 0;
    for (const int q : kStandardLuminance)
        want += std::clamp((q * 80 + 50) / 100, 1, 255);

    const auto px = solid(64, 36, 0, 0, 255);
    const auto bytes = Thumbs::jpeg({px.data(), 64 * 4, 64, 36}, 0.6);
    ASSERT_TRUE(bytes);
    const qsizetype dqt = bytes->indexOf(QByteArray("\xff\xdb", 2));
    ASSERT_GE(dqt, 0);
    ASSERT_EQ(bytes->at(dqt + 4), 0); // 8-bit entries, table 0 (luminance)
    int got = 0;
    for (int i = 0; i < 64; ++i)
        got += static_cast<unsigned char>(bytes->at(dqt + 5 + i));
    EXPECT_EQ(got, want);
}
