#include "FakeDesktop.h"
#include "KeepAwake.h"

#include <QTest>

#include <gtest/gtest.h>

using namespace core;

TEST(KeepAwake, StartsOnceStopsWhollyAndStartsAgain)
{
    FakeDesktop desktop;
    KeepAwake keepAwake(desktop.idleInhibitor());
    keepAwake.start();
    keepAwake.start();
    EXPECT_EQ(desktop.holds(), 1);
    EXPECT_EQ(desktop.activity(), 1);
    keepAwake.stop();
    keepAwake.stop();
    EXPECT_EQ(desktop.holds(), 0);
    EXPECT_FALSE(keepAwake.started());
    keepAwake.start();
    EXPECT_EQ(desktop.holds(), 1);
}

TEST(KeepAwake, DeclaresActivityAgainAtEachInterval)
{
    FakeDesktop desktop;
    KeepAwake keepAwake(desktop.idleInhibitor(), std::chrono::milliseconds(1));
    keepAwake.start();
    EXPECT_TRUE(QTest::qWaitFor([&] { return desktop.activity() >= 3; }, 30000));
}
