#include "BitrateControl.h"

#include <gtest/gtest.h>

using namespace core;

TEST(BitrateControl, BacksOffOnHeavyLossAndClimbsBackToTheCeiling)
{
    BitrateControl control(20000, 80000);
    // Starting below the ceiling, and climbing on clean reports, is not a bandwidth limit.
    EXPECT_FALSE(control.limited());
    EXPECT_GT(control.update(0.0, 0.02), 20000);
    EXPECT_FALSE(control.limited());
    control = BitrateControl(20000, 80000);
    const qint64 afterLoss = control.update(0.3, 0.02);
    EXPECT_EQ(afterLoss, 17000); // 20000 * (1 - 0.3 / 2)
    EXPECT_TRUE(control.limited());

    qint64 previous = afterLoss;
    for (int i = 0; i < 60; ++i) {
        const qint64 next = control.update(0.0, 0.02);
        EXPECT_GE(next, previous);
        previous = next;
    }
    EXPECT_EQ(previous, 80000);
    EXPECT_FALSE(control.limited());
}

TEST(BitrateControl, GrowingDelayLowersTheTargetButSmallJitterDoesNot)
{
    BitrateControl control(10000, 10000);
    control.update(0.0, 0.020);
    EXPECT_EQ(control.update(0.0, 0.060), 10000); // within the allowance over the minimum
    EXPECT_EQ(control.update(0.0, 0.200), 8500);
    EXPECT_EQ(control.update(0.01, 0.250), 7225);
}

TEST(BitrateControl, ModerateLossHoldsTheTarget)
{
    BitrateControl control(5000, 80000);
    EXPECT_EQ(control.update(0.05, std::nullopt), 5000);
}

TEST(BitrateControl, StaysWithinFloorAndCeiling)
{
    BitrateControl control(1000, 8000);
    for (int i = 0; i < 20; ++i)
        control.update(1.0, std::nullopt);
    EXPECT_EQ(control.target(), BitrateControl::kFloorKbps);

    BitrateControl high(20000, 80000);
    high.setCeiling(8000);
    EXPECT_EQ(high.target(), 8000);
    EXPECT_EQ(high.update(0.0, std::nullopt), 8000);
}
