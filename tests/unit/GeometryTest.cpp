#include "Geometry.h"

#include <gtest/gtest.h>

using namespace core;
using namespace core::Geometry;

namespace {

DisplayInfo displayAt(quint32 id, double x, double y, double w, double h)
{
    DisplayInfo d;
    d.id = id;
    d.x = x;
    d.y = y;
    d.width = w;
    d.height = h;
    return d;
}

const Rect kFrame{0, 0, 1440, 900};

} // namespace

TEST(Geometry, ToGlobalKeepsPointOneInsideFarEdges)
{
    EXPECT_EQ(toGlobal(1.0, 1.0, kFrame), (Point{1439, 899}));
    EXPECT_EQ(toGlobal(-0.2, 0.5, kFrame), (Point{0, 450}));
    EXPECT_EQ(toGlobal(0.5, 0.25, Rect{1440, -200, 1920, 1080}), (Point{2400, 70}));
    // No rounding: fractions of a point pass through.
    EXPECT_EQ(toGlobal(0.0001, 0, kFrame).x, 0.0001 * 1440);
}

TEST(Geometry, MoveByUsesFractionsOfTheFrameAndClamps)
{
    EXPECT_EQ(moveBy({100, 100}, 0.5, 0, kFrame), (Point{820, 100}));
    EXPECT_EQ(moveBy({100, 100}, 2, -1, kFrame), (Point{1439, 0}));
}

TEST(Geometry, DisplayContainingUsesHalfOpenFrames)
{
    const std::vector<DisplayInfo> list{displayAt(1, 0, 0, 1440, 900), displayAt(2, 1440, 0, 1920, 1080)};
    EXPECT_EQ(display({1439.5, 10}, list), 1u);
    EXPECT_EQ(display({1440, 10}, list), 2u); // the right edge of 1 belongs to 2
    EXPECT_EQ(display({3360, 10}, list), std::nullopt);
    EXPECT_EQ(display({100, 900}, list), std::nullopt);
    EXPECT_EQ(display({-1, 0}, list), std::nullopt);
    // One point wide and high still holds its origin.
    EXPECT_EQ(display({5000, 0}, {displayAt(3, 5000, 0, 1, 1)}), 3u);
}

TEST(Geometry, StreamLost)
{
    EXPECT_FALSE(streamLost(std::nullopt, {}));
    EXPECT_TRUE(streamLost(7u, {}));
    EXPECT_FALSE(streamLost(7u, {displayAt(3, 0, 0, 1, 1), displayAt(7, 0, 0, 1, 1)}));
    EXPECT_TRUE(streamLost(7u, {displayAt(3, 0, 0, 1, 1)}));
}

TEST(Geometry, ScaledSize)
{
    struct Row {
        int64_t w, h, maxEdge, ew, eh;
    };
    const Row rows[] = {
        {3024, 1964, 1920, 1920, 1246},
        {2880, 1800, 1280, 1280, 800},
        {5, 3, 0, 4, 2},
        {1, 1, 0, 2, 2},
        {0, 0, 0, 2, 2},
        {1920, 1080, 1920, 1920, 1080}, // not smaller: unchanged
        {1920, 1080, 4000, 1920, 1080},
        {1920, 1081, -5, 1920, 1080},   // negative: no limit, only even
        {1080, 1920, 1280, 720, 1280},  // portrait: the height is the long edge
        {1000, 3, 100, 100, 2},         // 0.3 rounds to 0, raised to 2
        {1000, 15, 100, 100, 2},        // 1.5 rounds away from zero to 2
        {1000, 25, 100, 100, 2},        // 2.5 -> 3 -> 2
        {1000, 35, 100, 100, 4},        // 3.5 -> 4
    };
    for (const Row& r : rows) {
        EXPECT_EQ(scaledSize(r.w, r.h, r.maxEdge), (Size{r.ew, r.eh}))
            << r.w << "x" << r.h << " max " << r.maxEdge;
    }
}
