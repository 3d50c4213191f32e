#include "InputEvent.h"

#include "Json.h"

#include <QJsonArray>

#include <algorithm>
#include <limits>

namespace core {

QString buttonName(MouseButton b)
{
    return b == MouseButton::right ? QStringLiteral("right") : QStringLiteral("left");
}

namespace {

MouseButton button(const json::Reader& r)
{
    const std::optional<QString> name = r.optString("b");
    if (!name || *name == QLatin1String("left"))
        return MouseButton::left;
    if (*name == QLatin1String("right"))
        return MouseButton::right;
    throw json::DecodeError(QStringLiteral("member \"b\" must be \"left\" or \"right\", not \"%1\"").arg(*name));
}

quint16 keyCode(const json::Reader& r)
{
    const qint64 code = r.integer("code");
    if (code < 0 || code > std::numeric_limits<quint16>::max())
        throw json::DecodeError(QStringLiteral("member \"code\" must be an unsigned 16-bit integer"));
    return static_cast<quint16>(code);
}

QStringList modifierNames(const json::Reader& r)
{
    QStringList names;
    const std::optional<QJsonArray> mods = r.optArray("mods");
    if (!mods)
        return names;
    for (const QJsonValue& v : *mods) {
        if (!v.isString())
            throw json::DecodeError(QStringLiteral("member \"mods\" must hold strings"));
        names.append(v.toString());
    }
    return names;
}

} // namespace

InputEvent InputEvent::decode(const QByteArray& bytes)
{
    const json::Reader r(json::parseObject(bytes));
    const MouseButton b = button(r);
    const QString t = r.string("t");
    if (t == QLatin1String("move"))
        return {input::Move{r.number("x"), r.number("y")}};
    if (t == QLatin1String("moveBy"))
        return {input::MoveBy{r.number("dx"), r.number("dy")}};
    if (t == QLatin1String("down"))
        return {input::Down{b}};
    if (t == QLatin1String("up"))
        return {input::Up{b}};
    if (t == QLatin1String("click")) {
        const qint64 n = r.optInteger("n").value_or(1);
        return {input::Click{b, static_cast<int>(std::clamp<qint64>(n, 1, 3))}};
    }
    if (t == QLatin1String("scroll"))
        return {input::Scroll{r.optNumber("dx").value_or(0), r.optNumber("dy").value_or(0)}};
    if (t == QLatin1String("text"))
        return {input::Text{r.string("s")}};
    if (t == QLatin1String("key"))
        return {input::Key{keyCode(r), modifierNames(r)}};
    throw json::DecodeError(QStringLiteral("unknown input ") + t);
}

std::optional<InputEvent> InputEvent::tryDecode(const QByteArray& bytes)
{
    try {
        return decode(bytes);
    } catch (const json::DecodeError&) {
        return std::nullopt;
    }
}

} // namespace core
