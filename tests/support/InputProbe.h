#pragma once

#include <QProcess>
#include <QRect>
#include <QStringList>

#include <functional>
#include <optional>
#include <vector>

// The input-probe X client under test control: a window over `area` that reports the events it
// receives. Waiting runs the Qt event loop, so objects posting through it keep working.
class InputProbe {
public:
    struct Event {
        QString kind; // motion, press, release, keydown, keyup, mapping, locks (see tools/input-probe.cpp)
        QStringList fields;
        int number(int i) const { return fields.value(i).toInt(); }
        unsigned hex(int i) const { return fields.value(i).toUInt(nullptr, 16); }
    };

    explicit InputProbe(QRect area);
    ~InputProbe();

    bool ready() const { return ready_; }
    // The next event that `match` accepts; the events before it are consumed. None after
    // `timeoutMs` (a failure guard, not a measurement).
    std::optional<Event> waitFor(const std::function<bool(const Event&)>& match, int timeoutMs = 10000);
    std::optional<Event> waitFor(const QString& kind, int timeoutMs = 10000);
    // Events consumed by the last waitFor, the matching one last.
    const std::vector<Event>& seen() const { return seen_; }

private:
    bool readLine(Event& out);

    QProcess process_;
    bool ready_ = false;
    std::vector<Event> seen_;
};

// A private Xvfb server (1920 x 1080) that $DISPLAY points to while the object lives, so that
// tests posting input never meet other tests' pointers and keyboards.
class PrivateXvfb {
public:
    PrivateXvfb();
    ~PrivateXvfb();
    bool running() const { return !display_.isEmpty(); }

private:
    QProcess server_;
    QString display_;
    QByteArray previous_;
};

// The root window's size on $DISPLAY; empty without a display.
QRect rootArea();
// The keyboard map of $DISPLAY (keysyms of every keycode); empty without a display.
std::vector<unsigned> keyboardMap();
// Buttons pressed (root pointer mask) and keys down on $DISPLAY.
unsigned pointerButtonMask();
int keysDown();

// The keyboard's locked layout group (0 for the first) and locked modifiers (Lock is Caps Lock).
struct KeyboardLocks {
    unsigned group = 0;
    unsigned mods = 0;
    friend bool operator==(const KeyboardLocks&, const KeyboardLocks&) = default;
};
// Those of $DISPLAY; none without a display or XKB.
std::optional<KeyboardLocks> keyboardLocks();
// Locks exactly these, as a layout switch key and Caps Lock would; false when that fails.
bool lockKeyboard(KeyboardLocks locks);
// Gives $DISPLAY a keymap with these layouts ("us,ru") through setxkbmap; false when that fails.
bool setKeyboardLayouts(const QString& layouts);
