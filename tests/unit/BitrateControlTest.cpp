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

    BitrateControl doubled(10000, 10000);
    doubled.update(0.0, 0.100);
    EXPECT_EQ(doubled.update(0.0, 0.200), 10000); // twice the minimum is still within the allowance
}

TEST(BitrateControl, ModerateLossHoldsTheTarget)
{
    // Both ends included: 2 % is no longer noise, 10 % not yet a full link.
    for (const double loss : {0.02, 0.05, 0.10}) {
        BitrateControl control(5000, 80000);
        EXPECT_EQ(control.update(loss, std::nullopt), 5000) << loss;
        EXPECT_FALSE(control.limited()) << loss; // held, not lowered
    }
}

TEST(BitrateControl, HeavyLossOutweighsGrowingDelay)
{
    BitrateControl control(10000, 10000);
    control.update(0.0, 0.020);
    EXPECT_EQ(control.update(0.5, 0.200), 7500); // 10000 * (1 - 0.5 / 2), not the delay back-off
}

TEST(BitrateControl, LimitedWhileClimbingBackUntilTheCeilingIsReached)
{
    BitrateControl control(8000, 10000);
    control.update(0.3, 0.02);
    control.update(0.0, 0.02);
    EXPECT_LT(control.target(), 10000);
    EXPECT_TRUE(control.limited());
    control.setCeiling(12000); // more room does not undo what the reports said
    EXPECT_TRUE(control.limited());
    while (control.target() < 12000)
        control.update(0.0, 0.02);
    // Back at the ceiling the earlier loss is forgotten: a raised ceiling is room to climb, not a limit.
    control.setCeiling(20000);
    EXPECT_FALSE(control.limited());
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

TEST(BitrateControl, AReportWithoutLossClimbs)
{
    BitrateControl control(20000, 80000);
    EXPECT_EQ(control.update(std::nullopt, std::nullopt), 21600); // 20000 * 1.08
}
