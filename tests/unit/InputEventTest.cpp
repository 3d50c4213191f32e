#include "InputEvent.h"
#include "Json.h"

#include <gtest/gtest.h>

using namespace core;

namespace {

InputEvent decode(const char* json) { return InputEvent::decode(QByteArray(json)); }

QString failure(const char* json)
{
    try {
        InputEvent::decode(QByteArray(json));
    } catch (const json::DecodeError& e) {
        return e.description();
    }
    return QStringLiteral("(decoded)");
}

} // namespace

TEST(InputEvent, EveryKindDecodesWithItsDefaults)
{
    const struct {
        const char* json;
        InputEvent expected;
    } rows[] = {
        {R"({"t":"move","x":0.25,"y":0.5})", {input::Move{0.25, 0.5}}},
        {R"({"t":"moveBy","dx":-0.1,"dy":2})", {input::MoveBy{-0.1, 2}}},
        {R"({"t":"down"})", {input::Down{MouseButton::left}}},
        {R"({"t":"up","b":"right"})", {input::Up{MouseButton::right}}},
        {R"({"t":"click","b":"right"})", {input::Click{MouseButton::right, 1}}},
        {R"({"t":"click","n":2})", {input::Click{MouseButton::left, 2}}},
        {R"({"t":"scroll","dy":-120})", {input::Scroll{0, -120}}},
        {R"({"t":"scroll"})", {input::Scroll{0, 0}}},
        {R"({"t":"text","s":"hello"})", {input::Text{QStringLiteral("hello")}}},
        {R"({"t":"key","code":36,"mods":["cmd","shift"]})", {input::Key{36, {"cmd", "shift"}}}},
        {R"({"t":"key","code":65535})", {input::Key{65535, {}}}},
        {R"({"t":"move","x":1,"y":1,"s":7,"code":"ignored"})", {input::Move{1, 1}}},
        {R"({"t":"down","b":null})", {input::Down{MouseButton::left}}},
    };
    for (const auto& row : rows)
        EXPECT_EQ(decode(row.json), row.expected) << row.json;
}

TEST(InputEvent, ClickCountIsClampedToOneToThree)
{
    const std::pair<const char*, int> rows[] = {
        {R"({"t":"click"})", 1},          {R"({"t":"click","n":0})", 1}, {R"({"t":"click","n":-4})", 1},
        {R"({"t":"click","n":3})", 3},    {R"({"t":"click","n":5})", 3}, {R"({"t":"click","n":7})", 3},
    };
    for (const auto& [json, count] : rows)
        EXPECT_EQ(std::get<input::Click>(decode(json).value).count, count) << json;
}

TEST(InputEvent, UnknownKindFailsNamingIt)
{
    EXPECT_EQ(failure(R"({"t":"wiggle"})"), QStringLiteral("unknown input wiggle"));
    EXPECT_EQ(failure(R"({"t":""})"), QStringLiteral("unknown input "));
}

TEST(InputEvent, BadMessagesFail)
{
    const char* rows[] = {
        R"({"t":"click","b":"middle"})",
        R"({"t":"move","x":0,"y":0,"b":"middle"})", // any other button fails the whole message
        R"({"t":"move","x":0})",
        R"({"t":"move","x":"0","y":0})",
        R"({"t":"moveBy","dx":0})",
        R"({"t":"click","n":1.5})",
        R"({"t":"scroll","dy":"up"})",
        R"({"t":"text"})",
        R"({"t":"text","s":5})",
        R"({"t":"key"})",
        R"({"t":"key","code":65536})",
        R"({"t":"key","code":-1})",
        R"({"t":"key","code":1,"mods":"cmd"})",
        R"({"t":"key","code":1,"mods":[1]})",
        R"({"x":0,"y":0})",
        R"({"t":7})",
        R"([{"t":"down"}])",
        R"({"t":"down")",
        "",
    };
    for (const char* json : rows) {
        EXPECT_NE(failure(json), QStringLiteral("(decoded)")) << json;
        EXPECT_FALSE(InputEvent::tryDecode(QByteArray(json))) << json;
    }
}
