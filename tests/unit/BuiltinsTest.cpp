#include "Builtins.h"

#include <gtest/gtest.h>

using namespace core;

// The phone lists these under their names and runs them by id, in this order.
TEST(Builtins, EveryIdKeepsItsNameInMenuOrder)
{
    const std::pair<const char*, const char*> rows[] = {
        {"lock", "Lock screen"},      {"display.sleep", "Display sleep"},
        {"sleep", "Sleep"},           {"volume.up", "Volume up"},
        {"volume.down", "Volume down"}, {"volume.mute", "Mute"},
        {"volume.set", "Set volume"}, {"media.playpause", "Play / Pause"},
        {"media.next", "Next track"}, {"media.prev", "Previous track"},
    };
    const auto& all = Builtins::all();
    ASSERT_EQ(all.size(), std::size(rows));
    ASSERT_EQ(Builtins::ids().size(), qsizetype(std::size(rows)));
    for (size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].id, QLatin1String(rows[i].first)) << i;
        EXPECT_EQ(all[i].name, QLatin1String(rows[i].second)) << i;
        EXPECT_EQ(Builtins::ids()[qsizetype(i)], QLatin1String(rows[i].first)) << i;
    }
}
