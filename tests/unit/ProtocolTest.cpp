#include "Log.h"
#include "Protocol.h"

#include <QJsonDocument>

#include <gtest/gtest.h>

using namespace core;

namespace {

std::string s(const QByteArray& b) { return b.toStdString(); }

template <typename T> QString badParams(const char* json)
{
    try {
        Wire::decode<T>(QByteArray(json));
    } catch (const AgentError& e) {
        return e.description();
    }
    return QStringLiteral("<decoded>");
}

} // namespace

TEST(Wire, RepliesAreByteExact)
{
    EXPECT_EQ(s(Wire::ok(7)), R"({"id":7,"ok":true,"type":"result"})");
    EXPECT_EQ(s(Wire::fail(8, QStringLiteral("send hello first"))),
              R"({"error":"send hello first","id":8,"ok":false,"type":"result"})");
    EXPECT_EQ(s(Wire::ok(9, SdpData{QStringLiteral("v=0")})), R"({"data":{"sdp":"v=0"},"id":9,"ok":true,"type":"result"})");
    EXPECT_EQ(s(Wire::ok(9007199254740993LL)), R"({"id":9007199254740993,"ok":true,"type":"result"})");
}

TEST(Wire, EventsAreByteExact)
{
    EXPECT_EQ(s(Wire::event(Kicked{})), R"({"type":"kicked"})");
    EXPECT_EQ(s(Wire::event(StreamEnded{QStringLiteral("display disconnected")})),
              R"({"reason":"display disconnected","type":"stream.ended"})");
    EXPECT_EQ(s(Wire::event(StatsEvent{})), R"({"type":"stats"})");
    EXPECT_EQ(s(Wire::event(ClipboardEvent{QStringLiteral("hi"), std::nullopt})), R"({"text":"hi","type":"clipboard"})");
    IceEvent ice{QStringLiteral("candidate:1"), std::nullopt, 0};
    EXPECT_EQ(s(Wire::event(ice)), R"({"candidate":"candidate:1","sdpMLineIndex":0,"type":"rtc.ice"})");
}

// Each member with a value of its own, so that a member written under another's name shows.
TEST(Wire, PayloadsWriteEveryMemberUnderItsOwnName)
{
    const auto json = [](const auto& payload) { return s(QJsonDocument(payload.toJson()).toJson(QJsonDocument::Compact)); };
    const WindowInfo window{7, QStringLiteral("Doc"), 1, 2, 3, 4, 9u};
    const std::pair<std::string, const char*> rows[] = {
        {json(DisplayIdData{5u}), R"({"displayId":5})"},
        {json(DisplayIdData{std::nullopt}), R"({})"},
        {json(ClipboardData{QStringLiteral("hi"), QStringLiteral("iVBO")}), R"({"png":"iVBO","text":"hi"})"},
        {json(window), R"({"displayId":9,"height":4,"id":7,"title":"Doc","width":3,"x":1,"y":2})"},
        {json(AppInfo{42, QStringLiteral("org.x"), QStringLiteral("X"), QStringLiteral("icon64"), true, false, {window}}),
         R"({"active":true,"bundleId":"org.x","hidden":false,"icon":"icon64","name":"X","pid":42,)"
         R"("windows":[{"displayId":9,"height":4,"id":7,"title":"Doc","width":3,"x":1,"y":2}]})"},
        {json(InstalledApp{QStringLiteral("org.y"), QStringLiteral("Y")}), R"({"bundleId":"org.y","name":"Y"})"},
        {json(ActionInfo{QStringLiteral("lock"), QStringLiteral("Lock screen"), true}),
         R"({"builtin":true,"id":"lock","name":"Lock screen"})"},
        {json(ActionOutput{3, QStringLiteral("out")}), R"({"exitCode":3,"output":"out"})"},
        {json(StatsEvent{30, 29.5, 1280, 800, 4.25, 8000, 7000, QStringLiteral("bandwidth"), QStringLiteral("x264enc"),
                         QStringLiteral("H264"), 1.5, 2.25, 0.5}),
         R"({"captureFps":30,"captureMs":1.5,"codec":"H264","convertMs":2.25,"encodeFps":29.5,"encodeMs":4.25,)"
         R"("encoder":"x264enc","height":800,"limit":"bandwidth","sendMs":0.5,"sentKbps":7000,"targetKbps":8000,)"
         R"("type":"stats","width":1280})"},
        {json(ClipboardEvent{QStringLiteral("hi"), QStringLiteral("iVBO")}), R"({"png":"iVBO","text":"hi","type":"clipboard"})"},
    };
    for (const auto& [got, want] : rows)
        EXPECT_EQ(got, want);
}

TEST(Wire, DisplaysWriteWholeDoublesWithoutFraction)
{
    DisplayInfo d{4294967295u, QStringLiteral("DP-1"), 1920, 1080, 2, true, -1920, 0.5};
    EXPECT_EQ(s(Wire::ok(1, std::vector<DisplayInfo>{d})),
              R"({"data":[{"height":1080,"id":4294967295,"isMain":true,"name":"DP-1","scale":2,"width":1920,"x":-1920,"y":0.5}],"id":1,"ok":true,"type":"result"})");
}

TEST(Wire, HelloDataOmitsAbsentConfigError)
{
    HelloData h{QStringLiteral("0.1.0"), QStringLiteral("desk"), QStringLiteral("ann"), {true, false}, false, std::nullopt, {}};
    EXPECT_EQ(s(Wire::ok(1, h)),
              R"({"data":{"agentVersion":"0.1.0","displays":[],"locked":false,"macName":"desk","permissions":{"accessibility":false,"screen":true},"user":"ann"},"id":1,"ok":true,"type":"result"})");
    h.configError = QStringLiteral("config.json: x");
    EXPECT_NE(s(Wire::ok(1, h)).find(R"("configError":"config.json: x")"), std::string::npos);
}

TEST(Wire, PermissionsText)
{
    EXPECT_EQ(Permissions({true, false}).text(), QStringLiteral("Permissions(screen: true, accessibility: false)"));
}

TEST(Wire, HelloParamIsAllOptional)
{
    const auto p = Wire::decode<HelloParam>(R"({"type":"hello","id":1})");
    EXPECT_FALSE(p.takeover);
    EXPECT_FALSE(p.ticket);
    EXPECT_FALSE(p.pairCode);
    const auto q = Wire::decode<HelloParam>(R"({"type":"hello","id":1,"takeover":true,"ticket":null,"pairCode":"ABC"})");
    EXPECT_EQ(q.takeover, true);
    EXPECT_FALSE(q.ticket);
    EXPECT_EQ(q.pairCode, QStringLiteral("ABC"));
    // false is a value of its own, not the same as absent.
    EXPECT_EQ(Wire::decode<HelloParam>(R"({"type":"hello","id":1,"takeover":false})").takeover, std::optional(false));
}

TEST(Wire, MessagesThatAreNotJsonObjectsSayWhich)
{
    EXPECT_TRUE(badParams<HelloParam>("{").startsWith(QStringLiteral("bad params: the data is not valid JSON (")))
        << badParams<HelloParam>("{").toStdString();
    EXPECT_EQ(badParams<HelloParam>("[1]"), QStringLiteral("bad params: expected a JSON object at the top level"));
}

TEST(Wire, IntegerRangesAndFractionsAreBadParams)
{
    for (const char* json : {R"({"displayId":-1})", R"({"displayId":1.5})", R"({"displayId":4294967296})",
                             R"({"displayId":"1"})", R"({})", R"({"displayId":null})"}) {
        EXPECT_TRUE(badParams<DisplayParam>(json).startsWith(QStringLiteral("bad params: "))) << json;
    }
    EXPECT_EQ(Wire::decode<DisplayParam>(R"({"displayId":4294967295})").displayId, 4294967295u);
    EXPECT_EQ(Wire::decode<DisplayParam>(R"({"displayId":0})").displayId, 0u);
    EXPECT_TRUE(badParams<PidParam>(R"({"pid":2147483648})").startsWith(QStringLiteral("bad params: ")));
    EXPECT_EQ(Wire::decode<PidParam>(R"({"pid":-2147483648})").pid, -2147483647 - 1);
    EXPECT_TRUE(badParams<IceParam>(R"({"candidate":"c"})").contains(QStringLiteral("sdpMLineIndex")));
    EXPECT_TRUE(badParams<SdpParam>(R"({"sdp":5})").contains(QStringLiteral("sdp")));
}

TEST(Wire, EnvelopeNeedsStringTypeAndIntegerId)
{
    const auto e = Envelope::decode(Wire::parse(R"({"type":"x","id":3,"extra":{}})"));
    EXPECT_EQ(e.type, QStringLiteral("x"));
    EXPECT_EQ(e.id, 3);
    EXPECT_FALSE(Envelope::decode(Wire::parse(R"({"type":"x"})")).id);
    EXPECT_THROW(Envelope::decode(Wire::parse(R"({"type":"x","id":"3"})")), json::DecodeError);
    EXPECT_THROW(Envelope::decode(Wire::parse(R"({"type":"x","id":1.25})")), json::DecodeError);
    EXPECT_THROW(Envelope::decode(Wire::parse(R"({"id":1})")), json::DecodeError);
    EXPECT_THROW(Wire::parse("[1]"), json::DecodeError);
    EXPECT_THROW(Wire::parse("{"), json::DecodeError);
}
