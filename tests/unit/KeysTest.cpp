#include "Keys.h"
#include "linux/x11/XTestInput.h"

#include <xkbcommon/xkbcommon-keysyms.h>

#include <gtest/gtest.h>

#include <map>

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

namespace {

// Every Mac virtual key code with a key here, as the phone sends them (ANSI layout, JIS extras,
// function keys, navigation, keypad). Both Command keys press Control; Help is Insert.
const std::map<std::uint16_t, Keys::KeySym> kMacKeys{
    {0, XKB_KEY_a},           {1, XKB_KEY_s},           {2, XKB_KEY_d},
    {3, XKB_KEY_f},           {4, XKB_KEY_h},           {5, XKB_KEY_g},
    {6, XKB_KEY_z},           {7, XKB_KEY_x},           {8, XKB_KEY_c},
    {9, XKB_KEY_v},           {10, XKB_KEY_section},    {11, XKB_KEY_b},
    {12, XKB_KEY_q},          {13, XKB_KEY_w},          {14, XKB_KEY_e},
    {15, XKB_KEY_r},          {16, XKB_KEY_y},          {17, XKB_KEY_t},
    {18, XKB_KEY_1},          {19, XKB_KEY_2},          {20, XKB_KEY_3},
    {21, XKB_KEY_4},          {22, XKB_KEY_6},          {23, XKB_KEY_5},
    {24, XKB_KEY_equal},      {25, XKB_KEY_9},          {26, XKB_KEY_7},
    {27, XKB_KEY_minus},      {28, XKB_KEY_8},          {29, XKB_KEY_0},
    {30, XKB_KEY_bracketright}, {31, XKB_KEY_o},        {32, XKB_KEY_u},
    {33, XKB_KEY_bracketleft}, {34, XKB_KEY_i},         {35, XKB_KEY_p},
    {36, XKB_KEY_Return},     {37, XKB_KEY_l},          {38, XKB_KEY_j},
    {39, XKB_KEY_apostrophe}, {40, XKB_KEY_k},          {41, XKB_KEY_semicolon},
    {42, XKB_KEY_backslash},  {43, XKB_KEY_comma},      {44, XKB_KEY_slash},
    {45, XKB_KEY_n},          {46, XKB_KEY_m},          {47, XKB_KEY_period},
    {48, XKB_KEY_Tab},        {49, XKB_KEY_space},      {50, XKB_KEY_grave},
    {51, XKB_KEY_BackSpace},  {53, XKB_KEY_Escape},     {54, XKB_KEY_Control_R},
    {55, XKB_KEY_Control_L},  {56, XKB_KEY_Shift_L},    {57, XKB_KEY_Caps_Lock},
    {58, XKB_KEY_Alt_L},      {59, XKB_KEY_Control_L},  {60, XKB_KEY_Shift_R},
    {61, XKB_KEY_Alt_R},      {62, XKB_KEY_Control_R},  {64, XKB_KEY_F17},
    {65, XKB_KEY_KP_Decimal}, {67, XKB_KEY_KP_Multiply}, {69, XKB_KEY_KP_Add},
    {71, XKB_KEY_Clear},      {72, XKB_KEY_XF86AudioRaiseVolume}, {73, XKB_KEY_XF86AudioLowerVolume},
    {74, XKB_KEY_XF86AudioMute}, {75, XKB_KEY_KP_Divide}, {76, XKB_KEY_KP_Enter},
    {78, XKB_KEY_KP_Subtract}, {79, XKB_KEY_F18},       {80, XKB_KEY_F19},
    {81, XKB_KEY_KP_Equal},   {82, XKB_KEY_KP_0},       {83, XKB_KEY_KP_1},
    {84, XKB_KEY_KP_2},       {85, XKB_KEY_KP_3},       {86, XKB_KEY_KP_4},
    {87, XKB_KEY_KP_5},       {88, XKB_KEY_KP_6},       {89, XKB_KEY_KP_7},
    {90, XKB_KEY_F20},        {91, XKB_KEY_KP_8},       {92, XKB_KEY_KP_9},
    {93, XKB_KEY_yen},        {94, XKB_KEY_underscore}, {95, XKB_KEY_KP_Separator},
    {96, XKB_KEY_F5},         {97, XKB_KEY_F6},         {98, XKB_KEY_F7},
    {99, XKB_KEY_F3},         {100, XKB_KEY_F8},        {101, XKB_KEY_F9},
    {102, XKB_KEY_Eisu_toggle}, {103, XKB_KEY_F11},     {104, XKB_KEY_Hiragana_Katakana},
    {105, XKB_KEY_F13},       {106, XKB_KEY_F16},       {107, XKB_KEY_F14},
    {109, XKB_KEY_F10},       {110, XKB_KEY_Menu},      {111, XKB_KEY_F12},
    {113, XKB_KEY_F15},       {114, XKB_KEY_Insert},    {115, XKB_KEY_Home},
    {116, XKB_KEY_Prior},     {117, XKB_KEY_Delete},    {118, XKB_KEY_F4},
    {119, XKB_KEY_End},       {120, XKB_KEY_F2},        {121, XKB_KEY_Next},
    {122, XKB_KEY_F1},        {123, XKB_KEY_Left},      {124, XKB_KEY_Right},
    {125, XKB_KEY_Down},      {126, XKB_KEY_Up},
};

} // namespace

// Each code checked on its own: a swap of two neighbours keeps every count the same.
TEST(Keys, MacKeyCodesMapToKeysyms)
{
    for (std::uint32_t code = 0; code <= 0xffff; ++code) {
        const auto it = kMacKeys.find(std::uint16_t(code));
        const std::optional<Keys::KeySym> want =
            it == kMacKeys.end() ? std::nullopt : std::optional<Keys::KeySym>(it->second);
        EXPECT_EQ(Keys::keysym(std::uint16_t(code)), want) << "Mac key code " << code;
    }
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
