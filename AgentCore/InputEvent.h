#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

// One input message from the phone's data channel, decoded.
namespace core {

enum class MouseButton { left, right };

QString buttonName(MouseButton b);

namespace input {

// Normalised 0..1 coordinates over the streamed display.
struct Move {
    double x = 0;
    double y = 0;
    friend bool operator==(const Move&, const Move&) = default;
};
// Fractions of the streamed display's width and height.
struct MoveBy {
    double dx = 0;
    double dy = 0;
    friend bool operator==(const MoveBy&, const MoveBy&) = default;
};
struct Down {
    MouseButton button = MouseButton::left;
    friend bool operator==(const Down&, const Down&) = default;
};
struct Up {
    MouseButton button = MouseButton::left;
    friend bool operator==(const Up&, const Up&) = default;
};
// `count` is 1, 2 or 3: a single, double or triple click.
struct Click {
    MouseButton button = MouseButton::left;
    int count = 1;
    friend bool operator==(const Click&, const Click&) = default;
};
// Pixels; positive dy scrolls up, positive dx scrolls left.
struct Scroll {
    double dx = 0;
    double dy = 0;
    friend bool operator==(const Scroll&, const Scroll&) = default;
};
struct Text {
    QString s;
    friend bool operator==(const Text&, const Text&) = default;
};
// A Mac virtual key code with modifier names ("ctrl", "alt", "shift", "cmd").
struct Key {
    quint16 code = 0;
    QStringList mods;
    friend bool operator==(const Key&, const Key&) = default;
};

} // namespace input

struct InputEvent {
    using Value = std::variant<input::Move, input::MoveBy, input::Down, input::Up, input::Click,
                               input::Scroll, input::Text, input::Key>;
    Value value;

    // Decodes one data-channel message. Throws json::DecodeError: for bytes that are not one JSON
    // object, a missing or mistyped member, a button other than "left" or "right", and an unknown
    // "t" ("unknown input " followed by the value).
    static InputEvent decode(const QByteArray& bytes);
    // The same, answering nothing for a message that does not decode.
    static std::optional<InputEvent> tryDecode(const QByteArray& bytes);

    friend bool operator==(const InputEvent&, const InputEvent&) = default;
};

} // namespace core
