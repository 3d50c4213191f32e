// Synthetic input on a real X display, checked by an X client that records what it receives.
#include "DesktopBackend.h"
#include "InputPoster.h"
#include "InputProbe.h"

#include <xcb/xproto.h>
#include <xkbcommon/xkbcommon-keysyms.h>

#include <gtest/gtest.h>

#include <QProcess>
#include <QTest>

#include <numeric>

using namespace core;

namespace {

InputEvent ev(const char* json) { return InputEvent::decode(QByteArray(json)); }

class InputPosterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(xvfb.running()) << "Xvfb did not start (scripts/setup installs it)";
        screen = rootArea();
        ASSERT_FALSE(screen.isEmpty());
        probe = std::make_unique<InputProbe>(screen);
        ASSERT_TRUE(probe->ready()) << "input-probe did not come up";
        desktop = createDesktopBackend();
        poster = std::make_unique<InputPoster>(desktop->openInput());
        ASSERT_TRUE(poster->connected());
        poster->setFrame(Geometry::Rect{0, 0, double(screen.width()), double(screen.height())});
    }

    std::optional<InputProbe::Event> motionTo(int x, int y)
    {
        return probe->waitFor([=](const InputProbe::Event& e) {
            return e.kind == QLatin1String("motion") && e.number(0) == x && e.number(1) == y;
        });
    }
    // Moves somewhere else first, so that a later move to the same place is seen.
    void park(int x, int y)
    {
        poster->post({input::Move{(x + 0.5) / screen.width(), (y + 0.5) / screen.height()}});
        ASSERT_TRUE(motionTo(x, y));
    }
    // The key events up to and including the key-up of `last`.
    std::vector<InputProbe::Event> keysUntilUp(unsigned last)
    {
        std::vector<InputProbe::Event> keys;
        const auto end = probe->waitFor([&](const InputProbe::Event& e) {
            if (e.kind.startsWith(QLatin1String("key")))
                keys.push_back(e);
            return e.kind == QLatin1String("keyup") && e.hex(0) == last;
        });
        EXPECT_TRUE(end) << "no key-up of " << std::hex << last;
        return keys;
    }
    // The text typed until `end` arrives, from the code points of the key presses.
    QString typedUntil(const QString& end)
    {
        QString typed;
        probe->waitFor([&](const InputProbe::Event& e) {
            if (e.kind == QLatin1String("keydown") && e.hex(2) != 0) {
                const char32_t cp = e.hex(2);
                typed += QString::fromUcs4(&cp, 1);
            }
            return typed.endsWith(end);
        });
        return typed;
    }

    PrivateXvfb xvfb;
    QRect screen;
    std::unique_ptr<InputProbe> probe;
    std::unique_ptr<DesktopBackend> desktop;
    std::unique_ptr<InputPoster> poster;
};

TEST_F(InputPosterTest, WithoutFrameNothingIsPostedKeyboardIncluded)
{
    park(10, 10);
    poster->setFrame(std::nullopt);
    poster->post(ev(R"({"t":"key","code":0})"));
    poster->post(ev(R"({"t":"text","s":"x"})"));
    poster->post(ev(R"({"t":"click"})"));
    poster->post(ev(R"({"t":"move","x":0.5,"y":0.5})"));
    poster->setFrame(Geometry::Rect{0, 0, double(screen.width()), double(screen.height())});
    poster->post(ev(R"({"t":"move","x":0,"y":0})"));
    const auto marker = probe->waitFor([](const InputProbe::Event& e) { return e.kind != QLatin1String("release"); });
    ASSERT_TRUE(marker);
    EXPECT_EQ(marker->kind, QStringLiteral("motion"));
    EXPECT_EQ(marker->number(0), 0);
    EXPECT_EQ(marker->number(1), 0);
}

TEST_F(InputPosterTest, MovesLandInsideTheStreamedFrame)
{
    poster->setFrame(Geometry::Rect{100, 50, 800, 600});
    const struct {
        const char* json;
        int x, y;
    } rows[] = {
        {R"({"t":"move","x":0.5,"y":0.5})", 500, 350},
        {R"({"t":"move","x":1,"y":1})", 899, 649},
        {R"({"t":"move","x":2,"y":-1})", 899, 50},
        {R"({"t":"move","x":0,"y":0})", 100, 50},
        {R"({"t":"moveBy","dx":0.5,"dy":0.25})", 500, 200},
        {R"({"t":"moveBy","dx":-0.125,"dy":0})", 400, 200},
        {R"({"t":"moveBy","dx":10,"dy":10})", 899, 649},
    };
    for (const auto& row : rows) {
        poster->post(ev(row.json));
        EXPECT_TRUE(motionTo(row.x, row.y)) << row.json;
    }
    poster->setFrame(Geometry::Rect{0, 0, double(screen.width()), double(screen.height())});
    poster->post(ev(R"({"t":"move","x":1,"y":1})"));
    EXPECT_TRUE(motionTo(screen.width() - 1, screen.height() - 1));
}

TEST_F(InputPosterTest, MoveByStartsFromWhereThePointerIsNow)
{
    // The fixture's poster stands for someone else moving the pointer.
    const struct {
        const char* name;
        bool movedBefore; // the poster moved the pointer itself, some time before someone else did
    } rows[] = {
        {"a poster that has never moved the pointer asks the server where it is", false},
        {"a pointer position the poster knows goes stale", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        InputPoster other(desktop->openInput());
        other.setFrame(Geometry::Rect{0, 0, double(screen.width()), double(screen.height())});
        if (row.movedBefore) {
            other.post({input::Move{600.5 / screen.width(), 400.5 / screen.height()}});
            ASSERT_TRUE(motionTo(600, 400));
        }
        park(200, 200);
        if (row.movedBefore)
            QTest::qWait(300); // longer than a known position is trusted
        other.post(ev(R"({"t":"moveBy","dx":0.1,"dy":0.1})"));
        EXPECT_TRUE(motionTo(200 + screen.width() / 10, 200 + screen.height() / 10));
    }
}

TEST_F(InputPosterTest, DownMakesLaterMovesDragsUntilUp)
{
    park(200, 200);
    poster->post(ev(R"({"t":"down"})"));
    const auto press = probe->waitFor(QStringLiteral("press"));
    ASSERT_TRUE(press);
    EXPECT_EQ(press->number(0), 1);
    EXPECT_EQ(poster->held(), std::set<MouseButton>{MouseButton::left});

    poster->post({input::Move{300.5 / screen.width(), 200.5 / screen.height()}});
    const auto drag = motionTo(300, 200);
    ASSERT_TRUE(drag);
    EXPECT_TRUE(drag->number(2) & XCB_BUTTON_MASK_1) << "a move while left is held is a drag";

    poster->post(ev(R"({"t":"up"})"));
    ASSERT_TRUE(probe->waitFor(QStringLiteral("release")));
    EXPECT_TRUE(poster->held().empty());
    poster->post({input::Move{400.5 / screen.width(), 200.5 / screen.height()}});
    const auto free = motionTo(400, 200);
    ASSERT_TRUE(free);
    EXPECT_EQ(free->number(2) & XCB_BUTTON_MASK_1, 0);
}

TEST_F(InputPosterTest, AClickOfCountNIsNPressesThatClientsCountAsOneSeries)
{
    const struct {
        const char* json;
        int button;
        int presses;
    } rows[] = {
        {R"({"t":"click"})", 1, 1},
        {R"({"t":"click","n":2})", 1, 2},
        {R"({"t":"click","n":3})", 1, 3},
        {R"({"t":"click","n":7})", 1, 3},
        {R"({"t":"click","b":"right","n":2})", 3, 2},
    };
    int x = 100;
    for (const auto& row : rows) {
        // Each click somewhere else, so that it starts a series of its own.
        x += 200;
        park(x, 360);
        poster->post(ev(row.json));
        park(x, 700); // everything of the click has arrived before this move
        std::vector<int> counts;
        int releases = 0;
        for (const auto& e : probe->seen()) {
            if (e.kind == QLatin1String("press") || e.kind == QLatin1String("release")) {
                EXPECT_EQ(e.number(0), row.button) << row.json;
                EXPECT_EQ(e.number(1), x) << row.json;
                EXPECT_EQ(e.number(2), 360) << row.json;
            }
            if (e.kind == QLatin1String("press"))
                counts.push_back(e.number(5));
            releases += e.kind == QLatin1String("release");
        }
        std::vector<int> expected(row.presses);
        std::iota(expected.begin(), expected.end(), 1);
        EXPECT_EQ(counts, expected) << row.json;
        EXPECT_EQ(releases, row.presses) << row.json;
    }
    EXPECT_TRUE(poster->held().empty());
}

TEST_F(InputPosterTest, ScrollTurnsPixelsIntoWheelClicksCarryingTheRest)
{
    park(500, 500);
    // 40 pixels a click: 30 gives nothing, 30 more one click up (20 left over); -100 sideways
    // two clicks right (-20 left over); -80 down from 20 one click down (-20 left over); the
    // clamp turns 1e9 into 10000 - 20 = 249 clicks up.
    poster->post(ev(R"({"t":"scroll","dy":30})"));
    poster->post(ev(R"({"t":"scroll","dy":30})"));
    poster->post(ev(R"({"t":"scroll","dx":-100})"));
    poster->post(ev(R"({"t":"scroll","dy":-80})"));
    poster->post(ev(R"({"t":"scroll"})"));
    poster->post(ev(R"({"t":"scroll","dx":-20.9})"));
    poster->post(ev(R"({"t":"scroll","dy":1e9})"));
    poster->post(ev(R"({"t":"click"})"));
    std::vector<int> wheel;
    ASSERT_TRUE(probe->waitFor([&](const InputProbe::Event& e) {
        if (e.kind == QLatin1String("press") && e.number(0) != 1)
            wheel.push_back(e.number(0));
        return e.kind == QLatin1String("press") && e.number(0) == 1;
    }));
    std::vector<int> expected{4, 7, 7, 5, 7};
    expected.insert(expected.end(), 249, 4);
    EXPECT_EQ(wheel, expected);
}

TEST_F(InputPosterTest, KeyPressesModifiersInTableOrderAndReleasesInReverse)
{
    poster->post(ev(R"({"t":"key","code":0,"mods":["cmd","shift","cmd","hyper"]})"));
    const auto keys = keysUntilUp(XKB_KEY_Shift_L);
    const std::vector<std::tuple<const char*, unsigned, unsigned>> expected{
        {"keydown", XKB_KEY_Shift_L, 0},
        {"keydown", XKB_KEY_Control_L, XCB_MOD_MASK_SHIFT},
        {"keydown", XKB_KEY_A, XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL},
        {"keyup", XKB_KEY_A, XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL},
        {"keyup", XKB_KEY_Control_L, XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL},
        {"keyup", XKB_KEY_Shift_L, XCB_MOD_MASK_SHIFT},
    };
    ASSERT_EQ(keys.size(), expected.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(keys[i].kind, QLatin1String(std::get<0>(expected[i]))) << i;
        EXPECT_EQ(keys[i].hex(0), std::get<1>(expected[i])) << i;
        EXPECT_EQ(keys[i].fields.value(1).toUInt(), std::get<2>(expected[i])) << i;
    }
}

TEST_F(InputPosterTest, KeysPostStrokesOnItsOwnConnectionAndPutsTheKeymapBack)
{
    const std::vector<unsigned> before = keyboardMap();
    Keys::post(desktop->openInput(), 3, {"alt"}); // f
    Keys::post(desktop->openInput(), 64, {}); // F17 needs a spare keycode on this keyboard map
    Keys::postKeysym(desktop->openInput(), XKB_KEY_XF86AudioMute, {});
    const auto keys = keysUntilUp(XKB_KEY_XF86AudioMute);
    std::vector<unsigned> down;
    for (const auto& e : keys) {
        if (e.kind == QLatin1String("keydown"))
            down.push_back(e.hex(0));
    }
    EXPECT_EQ(down, (std::vector<unsigned>{XKB_KEY_Alt_L, XKB_KEY_f, XKB_KEY_F17, XKB_KEY_XF86AudioMute}));
    ASSERT_TRUE(probe->waitFor([&](const InputProbe::Event& e) {
        return e.kind == QLatin1String("mapping") && keyboardMap() == before;
    }));
}

TEST_F(InputPosterTest, ArrowNavigationFunctionAndKeypadKeysArrive)
{
    const std::vector<std::pair<int, unsigned>> rows{
        {123, XKB_KEY_Left}, {124, XKB_KEY_Right}, {125, XKB_KEY_Down}, {126, XKB_KEY_Up},
        {122, XKB_KEY_F1}, {120, XKB_KEY_F2}, {99, XKB_KEY_F3}, {118, XKB_KEY_F4}, {96, XKB_KEY_F5},
        {97, XKB_KEY_F6}, {98, XKB_KEY_F7}, {100, XKB_KEY_F8}, {101, XKB_KEY_F9}, {109, XKB_KEY_F10},
        {103, XKB_KEY_F11}, {111, XKB_KEY_F12}, {105, XKB_KEY_F13}, {107, XKB_KEY_F14},
        {113, XKB_KEY_F15}, {106, XKB_KEY_F16}, {64, XKB_KEY_F17}, {79, XKB_KEY_F18}, {80, XKB_KEY_F19},
        {90, XKB_KEY_F20}, {115, XKB_KEY_Home}, {119, XKB_KEY_End}, {116, XKB_KEY_Prior},
        {121, XKB_KEY_Next}, {117, XKB_KEY_Delete}, {51, XKB_KEY_BackSpace}, {53, XKB_KEY_Escape},
        {36, XKB_KEY_Return}, {48, XKB_KEY_Tab}, {49, XKB_KEY_space}, {89, XKB_KEY_KP_7},
        {82, XKB_KEY_KP_0}, {76, XKB_KEY_KP_Enter}, {69, XKB_KEY_KP_Add}, {24, XKB_KEY_equal},
        {50, XKB_KEY_grave}, {29, XKB_KEY_0},
    };
    for (const auto& [code, sym] : rows)
        poster->post({input::Key{static_cast<quint16>(code), {}}});
    std::vector<unsigned> down;
    ASSERT_TRUE(probe->waitFor([&](const InputProbe::Event& e) {
        if (e.kind == QLatin1String("keydown"))
            down.push_back(e.hex(0));
        return e.kind == QLatin1String("keyup") && e.hex(0) == XKB_KEY_0;
    }, 20000));
    std::vector<unsigned> expected;
    for (const auto& row : rows)
        expected.push_back(row.second);
    ASSERT_EQ(down.size(), expected.size());
    for (std::size_t i = 0; i < down.size(); ++i)
        EXPECT_EQ(down[i], expected[i]) << "Mac key " << rows[i].first;
}

TEST_F(InputPosterTest, TextInSeveralScriptsIsTypedAndTheKeymapPutBack)
{
    const std::vector<unsigned> before = keyboardMap();
    const QString text = QStringLiteral("Héllo, wörld! Ça va? 日本語のテキスト 😀👍 Ωμέγα ✓\n");
    poster->post({input::Text{text}});
    EXPECT_EQ(typedUntil(QStringLiteral("✓")), text.chopped(1));

    // Every spare keycode lent out goes back to no keysym once typing is over.
    ASSERT_TRUE(probe->waitFor([&](const InputProbe::Event& e) {
        return e.kind == QLatin1String("mapping") && keyboardMap() == before;
    }));
}

TEST_F(InputPosterTest, AKeymapAnotherClientChangedIsFollowed)
{
    const struct {
        const char* name;
        QStringList change; // a program and its arguments
        const char* letter;
    } rows[] = {
        // The key that typed the letter types another one from then on. (The rows share a server.)
        {"core remap", {"xmodmap", "-e", "keysym a = q Q"}, "a"},
        {"new layout", {"setxkbmap", "de"}, "z"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const QString letter = QString::fromLatin1(row.letter);
        poster->post({input::Text{letter}});
        ASSERT_EQ(typedUntil(letter), letter);
        ASSERT_EQ(QProcess::execute(row.change[0], row.change.mid(1)), 0);
        poster->post({input::Text{letter + QLatin1Char('.')}});
        EXPECT_EQ(typedUntil(QStringLiteral(".")), letter + QLatin1Char('.'));
    }
}

TEST_F(InputPosterTest, LongTextGoesThroughInOrderChunkAfterChunk)
{
    QString ascii;
    for (int i = 0; i < 40; ++i)
        ascii += QChar(u'a' + i % 26);
    QString cjk;
    for (int i = 0; i < 40; ++i)
        cjk += QChar(0x4e00 + i * 7);
    poster->post({input::Text{ascii}});
    poster->post({input::Text{cjk}});
    poster->post(ev(R"({"t":"key","code":36})"));
    EXPECT_EQ(typedUntil(cjk.right(1)), ascii + cjk);
    const auto enter = probe->waitFor(QStringLiteral("keydown"));
    ASSERT_TRUE(enter);
    EXPECT_EQ(enter->hex(0), unsigned(XKB_KEY_Return)) << "a key after a text waits for the text";
}

TEST_F(InputPosterTest, StoppingTheStreamReleasesEverythingHeld)
{
    park(300, 300);
    poster->post(ev(R"({"t":"down"})"));
    poster->post(ev(R"({"t":"down","b":"right"})"));
    // A long text that needs more spare keycodes than there are is still being typed.
    QString cjk;
    for (int i = 0; i < 200; ++i)
        cjk += QChar(0x5000 + i);
    poster->post({input::Text{cjk}});
    ASSERT_TRUE(probe->waitFor([](const InputProbe::Event& e) { return e.kind == QLatin1String("keydown"); }));

    poster->setFrame(std::nullopt);
    EXPECT_TRUE(poster->held().empty());
    ASSERT_TRUE(probe->waitFor([](const InputProbe::Event& e) {
        return e.kind == QLatin1String("release") && e.number(0) == 3;
    }));
    EXPECT_EQ(pointerButtonMask(), 0u);
    EXPECT_EQ(keysDown(), 0);
}

TEST_F(InputPosterTest, EndingTheSessionReleasesButtonsAndPutsTheKeymapBack)
{
    const std::vector<unsigned> before = keyboardMap();
    park(300, 300);
    poster->post(ev(R"({"t":"down","b":"right"})"));
    poster->post(ev(R"({"t":"text","s":"日本"})"));
    ASSERT_TRUE(typedUntil(QStringLiteral("本")).endsWith(QStringLiteral("日本")));
    poster.reset();
    ASSERT_TRUE(probe->waitFor([](const InputProbe::Event& e) { return e.kind == QLatin1String("release"); }));
    EXPECT_EQ(pointerButtonMask(), 0u);
    EXPECT_EQ(keyboardMap(), before);
}

TEST_F(InputPosterTest, BurstOfMovesIsCoalescedAndEndsWhereTheLastOnePointed)
{
    park(0, 0);
    for (int i = 1; i <= 1000; ++i)
        poster->post({input::Move{(i % 1000 + 0.5) / screen.width(), (i / 2 + 0.5) / screen.height()}});
    EXPECT_GT(poster->coalesced(), 0u);
    ASSERT_TRUE(motionTo(0, 500));
    int motions = 0;
    for (const auto& e : probe->seen())
        motions += e.kind == QLatin1String("motion");
    EXPECT_LT(motions, 1000);
}

// The desktop's keyboard has US and Russian layouts, the Russian one locked, and Caps Lock on.
class InputPosterLayoutTest : public InputPosterTest {
protected:
    static constexpr KeyboardLocks kDesktop{1, XCB_MOD_MASK_LOCK};

    void SetUp() override
    {
        ASSERT_TRUE(xvfb.running()) << "Xvfb did not start (scripts/setup installs it)";
        ASSERT_TRUE(setKeyboardLayouts(QStringLiteral("us,ru"))) << "setxkbmap failed (scripts/setup installs x11-xkb-utils)";
        InputPosterTest::SetUp();
        ASSERT_TRUE(lockKeyboard(kDesktop));
        ASSERT_TRUE(locksBecome(kDesktop));
    }

    bool locksBecome(KeyboardLocks locks)
    {
        return probe->waitFor([&](const InputProbe::Event& e) {
            return e.kind == QLatin1String("locks") && KeyboardLocks{e.hex(0), e.hex(1)} == locks;
        }).has_value();
    }
};

TEST_F(InputPosterLayoutTest, TextAndStrokesArriveAsSentAndTheLocksAreThenAsTheyWere)
{
    const struct {
        const char* json;
        QString arrives;
    } rows[] = {
        {R"({"t":"text","s":"abc"})", QStringLiteral("abc")},
        {R"({"t":"text","s":"Hello, World 42!"})", QStringLiteral("Hello, World 42!")},
        {R"({"t":"text","s":"привет"})", QStringLiteral("привет")},
        {R"({"t":"key","code":8,"mods":["cmd"]})", QStringLiteral("c")},
        {R"({"t":"key","code":0,"mods":["shift"]})", QStringLiteral("A")},
    };
    for (const auto& row : rows) {
        poster->post(ev(row.json));
        QString typed;
        const auto restored = probe->waitFor([&](const InputProbe::Event& e) {
            if (e.kind == QLatin1String("keydown") && e.hex(2) != 0) {
                const char32_t cp = e.hex(2);
                typed += QString::fromUcs4(&cp, 1);
            }
            return !typed.isEmpty() && e.kind == QLatin1String("locks") && KeyboardLocks{e.hex(0), e.hex(1)} == kDesktop;
        });
        EXPECT_TRUE(restored) << row.json << ": the locks were not put back";
        EXPECT_EQ(typed.toStdString(), row.arrives.toStdString()) << row.json;
    }
    EXPECT_EQ(keyboardLocks(), kDesktop);
}

TEST_F(InputPosterLayoutTest, ACapsLockStrokeTurnsCapsLockOff)
{
    poster->post(ev(R"({"t":"key","code":57})"));
    poster->post(ev(R"({"t":"text","s":"a"})"));
    EXPECT_EQ(typedUntil(QStringLiteral("a")), QStringLiteral("a"));
    ASSERT_TRUE(locksBecome({1, 0}));
    EXPECT_EQ(keyboardLocks(), (KeyboardLocks{1, 0}));
}

TEST(PrivateXvfbTest, TakesConnectionsRightAfterTheLastClientLeft)
{
    PrivateXvfb xvfb;
    ASSERT_TRUE(xvfb.running());
    for (int i = 0; i < 100; ++i)
        ASSERT_FALSE(rootArea().isEmpty()) << "connection " << i << " was turned away";
}

} // namespace
