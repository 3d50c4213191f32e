#include "Keys.h"
#include "linux/XTestInput.h"

#include <xkbcommon/xkbcommon-keysyms.h>

#include <gtest/gtest.h>

using namespace core;
using Keys::Step;

TEST(Keys, StrokePressesModifiersInTableOrderAndReleasesInReverse)
{
    const std::vector<Step> expected{
        {XKB_KEY_Shift_L, true}, {XKB_KEY_Control_L, true}, {XKB_KEY_a, true},
        {XKB_KEY_a, false},      {XKB_KEY_Control_L, false}, {XKB_KEY_Shift_L, false},
    };
    EXPECT_EQ(Keys::stroke(XKB_KEY_a, {"shift", "cmd", "shift"}), expected);
    EXPECT_EQ(Keys::stroke(XKB_KEY_a, {"cmd", "shift"}), expected);
}

TEST(Keys, StrokeIgnoresUnknownNamesAndPressesOneKeyOnce)
{
    EXPECT_EQ(Keys::stroke(XKB_KEY_Return, {"hyper", "Cmd"}),
              (std::vector<Step>{{XKB_KEY_Return, true}, {XKB_KEY_Return, false}}));
    // "ctrl" and "cmd" are the same key here.
    EXPECT_EQ(Keys::stroke(XKB_KEY_c, {"cmd", "alt", "ctrl"}),
              (std::vector<Step>{{XKB_KEY_Control_L, true}, {XKB_KEY_Alt_L, true}, {XKB_KEY_c, true},
                                 {XKB_KEY_c, false}, {XKB_KEY_Alt_L, false}, {XKB_KEY_Control_L, false}}));
}

TEST(Keys, MacKeyCodesMapToKeysyms)
{
    const std::pair<std::uint16_t, Keys::KeySym> rows[] = {
        {0, XKB_KEY_a},           {6, XKB_KEY_z},        {46, XKB_KEY_m},          {18, XKB_KEY_1},
        {29, XKB_KEY_0},          {27, XKB_KEY_minus},   {42, XKB_KEY_backslash},  {47, XKB_KEY_period},
        {36, XKB_KEY_Return},     {48, XKB_KEY_Tab},     {49, XKB_KEY_space},      {51, XKB_KEY_BackSpace},
        {53, XKB_KEY_Escape},     {117, XKB_KEY_Delete}, {115, XKB_KEY_Home},      {119, XKB_KEY_End},
        {116, XKB_KEY_Prior},     {121, XKB_KEY_Next},   {123, XKB_KEY_Left},      {126, XKB_KEY_Up},
        {122, XKB_KEY_F1},        {111, XKB_KEY_F12},    {105, XKB_KEY_F13},       {90, XKB_KEY_F20},
        {82, XKB_KEY_KP_0},       {92, XKB_KEY_KP_9},    {76, XKB_KEY_KP_Enter},   {81, XKB_KEY_KP_Equal},
        {55, XKB_KEY_Control_L},  {58, XKB_KEY_Alt_L},
    };
    for (const auto& [code, sym] : rows)
        EXPECT_EQ(Keys::keysym(code), sym) << code;
    EXPECT_FALSE(Keys::keysym(63)); // fn
    EXPECT_FALSE(Keys::keysym(200));

    int letters = 0, digits = 0, functions = 0;
    for (std::uint16_t code = 0; code < 128; ++code) {
        const auto sym = Keys::keysym(code);
        letters += sym && *sym >= XKB_KEY_a && *sym <= XKB_KEY_z;
        digits += sym && *sym >= XKB_KEY_0 && *sym <= XKB_KEY_9;
        functions += sym && *sym >= XKB_KEY_F1 && *sym <= XKB_KEY_F20;
    }
    EXPECT_EQ(letters, 26);
    EXPECT_EQ(digits, 10);
    EXPECT_EQ(functions, 20);
}

TEST(Keys, ChunksHoldSixteenUnitsAndNeverEndInsideASurrogatePair)
{
    const QString emoji = QStringLiteral("😀");
    const QString pairAtSixteen = QString(15, u'a') + emoji + QStringLiteral("b");
    const struct {
        QString text;
        qsizetype from;
        int units;
        qsizetype length;
    } rows[] = {
        {QString(40, u'x'), 0, 16, 16},
        {QString(40, u'x'), 32, 16, 8},
        {QString(40, u'x'), 40, 16, 0},
        {QString(), 0, 16, 0},
        {QString(16, u'a'), 0, 16, 16},
        {pairAtSixteen, 0, 16, 15},
        {pairAtSixteen, 15, 16, 3},
        {emoji + emoji, 0, 1, 2},
        {emoji + emoji, 0, 3, 2},
    };
    for (const auto& row : rows)
        EXPECT_EQ(Keys::chunkLength(row.text, row.from, row.units), row.length) << row.text.toStdString() << " from " << row.from;
}

TEST(Keys, ALongTextIsCutWholeChunkAfterChunk)
{
    QString text;
    for (int i = 0; i < 100000; ++i)
        text += i % 7 == 6 ? QStringLiteral("😀") : QString(QChar(u'a' + i % 26));
    QString joined;
    for (qsizetype at = 0, n = 0; at < text.size(); at += n) {
        n = Keys::chunkLength(text, at, 16);
        ASSERT_GT(n, 0);
        ASSERT_LE(n, 16);
        ASSERT_FALSE(text.at(at + n - 1).isHighSurrogate()) << "at " << at;
        joined += QStringView(text).mid(at, n);
    }
    EXPECT_EQ(joined, text);
}

TEST(Keys, CodePointsBecomeKeysyms)
{
    EXPECT_EQ(Keys::keysymFor(U'a'), XKB_KEY_a);
    EXPECT_EQ(Keys::keysymFor(U'é'), XKB_KEY_eacute);
    EXPECT_EQ(Keys::keysymFor(U'日'), 0x10065e5u);
    EXPECT_EQ(Keys::keysymFor(U'😀'), 0x101f600u);
    EXPECT_EQ(Keys::keysymFor(U'\n'), XKB_KEY_Return);
    EXPECT_EQ(Keys::keysymFor(U'\t'), XKB_KEY_Tab);
}

namespace {

using Clock = os::SpareKeys::Clock;
constexpr auto kHold = std::chrono::milliseconds(200);

} // namespace

TEST(SpareKeys, LendsFreeKeycodesAndReusesALentOne)
{
    os::SpareKeys keys({10, 11, 12}, kHold);
    const Clock::time_point t0{};
    const auto lent = keys.lend({0x100, 0x101, 0x100}, t0);
    ASSERT_TRUE(lent);
    EXPECT_EQ(lent->size(), 2u);
    EXPECT_EQ(keys.find(0x100), 10);
    EXPECT_EQ(keys.find(0x101), 11);
    // Already lent: nothing new.
    EXPECT_EQ(keys.lend({0x101}, t0)->size(), 0u);
}

TEST(SpareKeys, AKeycodeIsNotLentAgainWithinTheHoldTime)
{
    os::SpareKeys keys({10, 11}, kHold);
    const Clock::time_point t0{};
    ASSERT_TRUE(keys.lend({1, 2}, t0));
    EXPECT_FALSE(keys.lend({3}, t0 + kHold / 2));
    EXPECT_EQ(keys.nextFree(t0 + kHold / 2), t0 + kHold);
    keys.used(10, t0 + kHold / 2); // keysym 1 was typed again
    const auto lent = keys.lend({3}, t0 + kHold);
    ASSERT_TRUE(lent);
    EXPECT_EQ(lent->front().first, 11);
    EXPECT_FALSE(keys.find(2));
    // A request larger than the pool lends nothing at all.
    EXPECT_FALSE(keys.lend({4, 5, 6}, t0 + kHold * 10));
    EXPECT_EQ(keys.find(1), 10);
}

TEST(SpareKeys, TakeBackReturnsIdleKeycodesOrAll)
{
    os::SpareKeys keys({10, 11}, kHold);
    const Clock::time_point t0{};
    ASSERT_TRUE(keys.lend({1}, t0));
    ASSERT_TRUE(keys.lend({2}, t0 + kHold / 2));
    EXPECT_EQ(keys.takeBack(t0 + kHold), std::vector<std::uint8_t>{10});
    EXPECT_TRUE(keys.anyLent());
    EXPECT_EQ(keys.takeBack(std::nullopt), std::vector<std::uint8_t>{11});
    EXPECT_FALSE(keys.anyLent());
}
