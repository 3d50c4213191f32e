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

TEST(BitrateControl, LossOfAFewPerCentLowersTheTargetGently)
{
    // Half the lost share per report; below 1 % loss is noise and the target climbs.
    const struct {
        double loss;
        qint64 target;
    } cases[] = {{0.005, 5400}, {0.01, 4975}, {0.02, 4950}, {0.05, 4875}, {0.10, 4750}};
    for (const auto& c : cases) {
        BitrateControl control(5000, 80000);
        EXPECT_EQ(control.update(c.loss, std::nullopt), c.target) << c.loss;
        EXPECT_EQ(control.limited(), c.target < 5000) << c.loss;
    }
}

TEST(BitrateControl, RegainsTheRateFromBeforeTheLossFasterThanItClimbsBeyond)
{
    BitrateControl control(10000, 80000);
    for (int i = 0; i < 15; ++i)
        control.update(0.05, std::nullopt);
    ASSERT_EQ(control.target(), 6841);
    // 20 % a report up to the 10000 it had, never past it; from there 8 %.
    const qint64 expected[] = {8209, 9851, 10000, 10800};
    for (const qint64 e : expected)
        EXPECT_EQ(control.update(0.0, std::nullopt), e);
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
    // 8 % a report, and at least 100 kbps where 8 % is less.
    const struct {
        qint64 start, next;
    } cases[] = {{20000, 21600}, {1000, 1100}, {300, 400}};
    for (const auto& c : cases) {
        BitrateControl control(c.start, 80000);
        EXPECT_EQ(control.update(std::nullopt, std::nullopt), c.next) << c.start;
    }
}

TEST(BitrateControl, TheStartIsHeldToACeilingBelowTheFloor)
{
    EXPECT_EQ(BitrateControl(5000, 200).target(), 200);
    EXPECT_EQ(BitrateControl(5000, 1).target(), 1);
    EXPECT_EQ(BitrateControl(5000, 0).target(), 1);
}

TEST(BitrateControl, ALaterLossRecoversToTheRateJustBeforeIt)
{
    BitrateControl control(10000, 80000);
    control.update(0.05, std::nullopt);
    while (control.target() < 11000)
        control.update(0.0, std::nullopt);
    ASSERT_EQ(control.target(), 11664); // 10000 regained, then 8 % twice
    EXPECT_EQ(control.update(0.05, std::nullopt), 11372);
    // Regained at 20 %, capped at the 11664 before this loss (the earlier 10000 is passed already).
    EXPECT_EQ(control.update(0.0, std::nullopt), 11664);
}

TEST(BitrateControl, ARecoveryCutShortByTheCeilingIsOver)
{
    BitrateControl control(10000, 80000);
    control.update(0.05, std::nullopt);
    control.setCeiling(9000);
    EXPECT_EQ(control.update(0.0, std::nullopt), 9000);
    // More room later is new ground: 8 %, not the 20 % of a recovery towards the old 10000.
    control.setCeiling(20000);
    EXPECT_EQ(control.update(0.0, std::nullopt), 9720);
}

TEST(LossMeter, CountersOutweighTheLastReportsFraction)
{
    // sent, lost, the report's fraction -> the share used
    const struct {
        std::optional<double> sent, lost, fraction, expected;
    } reports[] = {
        {1000, 10, 0.5, 0.5},          // no baseline yet: the report's fraction
        {2000, 30, 0.0, 0.02},         // 20 of 1000 since the last look
        {2000, 30, 0.3, 0.3},          // nothing sent since: the counters say nothing
        {std::nullopt, 40, 0.1, 0.1},  // a counter missing
        {3000, 80, 0.0, 0.05},         // against the last complete pair
        {100, 0, 0.04, 0.04},          // counters went back: a new stream, a new baseline
        {600, 5, 0.0, 0.01},
    };
    LossMeter meter;
    for (const auto& r : reports) {
        const std::optional<double> got = meter.update(r.sent, r.lost, r.fraction);
        ASSERT_TRUE(got.has_value());
        EXPECT_NEAR(*got, *r.expected, 1e-9) << r.sent.value_or(-1) << " sent, " << *r.lost << " lost";
    }
}
