#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

// The keyboard tables: Mac virtual key codes as the phone sends them, mapped to X keysyms, and the
// key strokes built from them.
namespace core {
class InputInjector;
}

namespace core::Keys {

using KeySym = std::uint32_t;

struct Modifier {
    const char* name;
    std::uint16_t code; // Mac virtual key code
    KeySym keysym;
};

// "ctrl", "alt", "shift", "cmd" in this order. "cmd" presses Control, so the phone's command
// shortcuts do what the same shortcuts do on this desktop.
const std::vector<Modifier>& modifiers();

// The keysym of a Mac virtual key code; none for codes without a key here (fn, unused codes).
std::optional<KeySym> keysym(std::uint16_t code);

struct Step {
    KeySym keysym = 0;
    bool press = false;
    friend bool operator==(const Step&, const Step&) = default;
};

// One full stroke: the named modifiers pressed in table order whatever the order of `mods`, the
// key pressed and released, the modifiers released in reverse. Unknown and repeated names do
// nothing; a modifier whose key is already down in this stroke ("ctrl" with "cmd") is pressed once.
std::vector<Step> stroke(KeySym key, const QStringList& mods);

// The length of the chunk of `text` that starts at `from`: at most `units` UTF-16 code units,
// never ending inside a surrogate pair (such a chunk ends a unit earlier, or takes the pair whole
// when it would be one unit long); 0 at the end. It looks at no more than the chunk, so cutting a
// text chunk by chunk costs its length once.
qsizetype chunkLength(QStringView text, qsizetype from, int units = 16);

// Keys that change the keyboard's lock or group state (Caps Lock, Num Lock, group switches).
bool changesLocks(KeySym key);

// The keysym that types one Unicode code point (Return for line breaks, Tab for tabs); none for
// code points no keysym stands for.
std::optional<KeySym> keysymFor(char32_t codePoint);

// Posts one stroke of the Mac key `code` with `mods` through `input`, an injector of its own (from
// DesktopBackend::openInput()) kept until the key map is put back. Used by the built-in actions.
// Does nothing without an injector.
void post(std::unique_ptr<InputInjector> input, std::uint16_t code, const QStringList& mods);
// The same for a keysym (media and volume keys).
void postKeysym(std::unique_ptr<InputInjector> input, KeySym key, const QStringList& mods);

} // namespace core::Keys
