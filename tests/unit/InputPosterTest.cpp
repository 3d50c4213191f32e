// The input queue against an injector that writes down what it is asked: what is merged, what is
// typed with the keyboard's locks cleared, how text is cut, and what waits for the desktop.
#include "FakeDesktop.h"
#include "InputPoster.h"

#include <QTest>

#include <gtest/gtest.h>

using namespace core;

namespace {

struct Poster {
    explicit Poster(std::size_t spares = 4)
    {
        x->spares = spares;
        poster.setFrame(Geometry::Rect{0, 0, 1000, 500});
    }
    void send(const char* message) { poster.receive(QByteArray(message)); }
    // Everything queued is sent; the queue may go on through the event loop (the ack watch, the
    // next chunk of a text).
    bool drained() { return QTest::qWaitFor([this] { return poster.idle(); }, 5000); }

    std::shared_ptr<FakeInput::State> x = std::make_shared<FakeInput::State>();
    InputPoster poster{std::make_unique<FakeInput>(x)};
};

} // namespace

TEST(InputQueue, MovesWhileTheDesktopIsBehindMergeIntoTheLast)
{
    Poster p;
    p.x->answerAcks = false;
    p.send(R"({"t":"move","x":0.1,"y":0.1})");
    p.send(R"({"t":"move","x":0.2,"y":0.2})");
    p.send(R"({"t":"move","x":0.3,"y":0.3})");
    EXPECT_EQ(p.x->calls.join(" | "), "move 100,50");
    EXPECT_EQ(p.poster.coalesced(), 1u);

    // The answer is only seen by looking again: the descriptor never wakes the poster.
    FakeInput::answer(*p.x);
    ASSERT_TRUE(p.drained());
    EXPECT_EQ(p.x->calls.join(" | "), "move 100,50 | move 300,150");
}

TEST(InputQueue, AnAnswerAlreadyInIsTakenWithoutWaitingForTheWatch)
{
    // A relative move asks where the pointer is; the fake's answer is in before the poster looks.
    Poster p;
    p.send(R"({"t":"moveBy","dx":0.1,"dy":0.1})");
    EXPECT_EQ(p.x->calls.join(" | "), "move 100,50");
}

TEST(InputQueue, KeysAndTextAreTypedAsSent)
{
    const struct {
        const char* name;
        std::size_t spares;
        int busy;
        std::vector<const char*> messages;
        const char* calls;
    } rows[] = {
        {"a key, locks cleared", 4, 0, {R"({"t":"key","code":0})"}, "prepare 0x61 0x61 | neutral | key 0x61 down | key 0x61 up | plain"},
        // Clearing the locks would undo the very change the stroke makes.
        {"caps lock, locks left alone", 4, 0, {R"({"t":"key","code":57})"}, "prepare 0xffe5 0xffe5 | key 0xffe5 down | key 0xffe5 up"},
        {"a key waits for a spare key", 4, 1, {R"({"t":"key","code":0})"},
         "busy | prepare 0x61 0x61 | neutral | key 0x61 down | key 0x61 up | plain"},
        {"text in one chunk", 4, 0, {R"({"t":"text","s":"abc"})"}, "prepare 0x61 0x62 0x63 | neutral | type 0x61 | type 0x62 | type 0x63 | plain"},
        {"text cut to the spare keys", 2, 0, {R"({"t":"text","s":"abc"})"},
         "prepare 0x61 0x62 | neutral | type 0x61 | type 0x62 | prepare 0x63 | type 0x63 | plain"},
        {"no spare keys: one unit at a time", 0, 0, {R"({"t":"text","s":"ab"})"},
         "prepare 0x61 | neutral | type 0x61 | prepare 0x62 | type 0x62 | plain"},
        // The second text follows the first without putting the locks back in between.
        {"texts queued back to back", 4, 1, {R"({"t":"text","s":"a"})", R"({"t":"text","s":"b"})", R"({"t":"click"})"},
         "busy | prepare 0x61 | neutral | type 0x61 | prepare 0x62 | type 0x62 | plain | button 1 down | button 1 up"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Poster p(row.spares);
        p.x->busy = row.busy;
        for (const char* message : row.messages)
            p.send(message);
        ASSERT_TRUE(p.drained());
        EXPECT_EQ(p.x->calls.join(" | "), QString::fromLatin1(row.calls));
    }
}

TEST(InputQueue, LentKeysArePutBackAfterUse)
{
    Poster p;
    p.x->remapOnPrepare = true;
    p.send(R"({"t":"text","s":"a"})");
    EXPECT_TRUE(QTest::qWaitFor([&] { return p.x->calls.contains("restore"); }, 5000)) << p.x->calls.join(", ").toStdString();
}

TEST(InputQueue, ScrollingIsSmoothWhereTheDesktopOffersItElseWheelClicks)
{
    const struct {
        const char* name;
        bool smooth;
        const char* calls;
    } rows[] = {
        {"wheel clicks, the rest carried", false, "button 4 down | button 4 up | button 7 down | button 7 up"},
        {"smooth, by pixels", true, "scroll -50,45"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Poster p;
        p.x->smooth = row.smooth;
        p.send(R"({"t":"scroll","dx":-50,"dy":45})");
        ASSERT_TRUE(p.drained());
        EXPECT_EQ(p.x->calls.join(" | "), QString::fromLatin1(row.calls));
    }
}
