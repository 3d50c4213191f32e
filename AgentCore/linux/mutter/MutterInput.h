#pragma once

#include "InputInjector.h"
#include "MutterMonitors.h"

#include <QDBusConnection>
#include <QObject>
#include <QSocketNotifier>

#include <memory>
#include <set>

namespace core::mutter {

class CastSession;
class CastSignals;
class WaylandKeymap;

// Input through a RemoteDesktop session of its own: absolute pointer positions on the stream of
// the monitor under them, buttons, wheel clicks and smooth scrolling, keys as keysyms (Mutter finds the key and
// the Shift level itself, so no key is ever lent). Mutter drops a keysym no key of its current
// layout carries, so text is checked against its keymap first (read as a Wayland client, when
// WAYLAND_DISPLAY names the session's display): a character it cannot type is skipped, and
// that is logged once per layout. Calls go out without waiting; a round trip
// on the same connection is the acknowledgement, as Mutter answers in order. Main thread.
class Input : public QObject, public InputInjector {
    Q_OBJECT
public:
    // None (the reason logged) when Mutter refuses a session.
    static std::unique_ptr<Input> open(QDBusConnection bus, std::shared_ptr<CastSignals> announced);
    ~Input() override;

    int fd() const override { return ackFd_; }
    void moveTo(int x, int y) override;
    void button(std::uint8_t button, bool press) override;
    bool smoothScroll() const override { return true; }
    void scroll(double dx, double dy) override;
    bool prepare(const std::vector<KeySym>&, Clock::time_point, bool) override { return true; }
    std::optional<Clock::time_point> nextSpareFree(Clock::time_point) const override { return std::nullopt; }
    bool key(KeySym sym, bool press) override;
    bool type(KeySym sym) override;
    void beginNeutral() override { }
    void endNeutral() override { }
    bool neutral() const override { return false; }
    bool restorePending() const override { return false; }
    void restoreIdle(std::optional<Clock::time_point>) override { }
    bool remapped() const override { return false; }
    // Text goes out in chunks of this many characters.
    std::size_t spareCount() const override { return 16; }
    void releaseAll() override;
    void requestAck() override;
    bool ackPending() const override { return ackPending_; }
    bool pollAck() override;
    std::optional<QPoint> ackedPointer() const override { return pointer_; }
    void flush() override { }
    void sync() override;

private slots:
    void acknowledged();

private:
    Input(QDBusConnection bus, std::shared_ptr<CastSignals> announced);
    void restart();
    void notify(const QString& method, const QVariantList& args);
    // Follows the compositor's keymap; drops the connection when it broke.
    void readKeymap();

    QDBusConnection bus_;
    std::shared_ptr<CastSignals> signals_;
    std::vector<Monitor> monitors_;
    quint64 layoutSerial_ = 0;
    std::unique_ptr<CastSession> session_;
    int ackFd_ = -1;
    bool ackPending_ = false;
    std::optional<QPoint> pointer_;
    std::set<std::uint8_t> buttonsDown_;
    std::set<KeySym> keysDown_;
    std::unique_ptr<WaylandKeymap> keymap_;
    std::unique_ptr<QSocketNotifier> keymapNotifier_;
    std::uint64_t keymapSerial_ = 0;
    // Keysyms found untypeable (and logged) under the current keymap.
    bool untypeableLogged_ = false; // for the current layout
};

} // namespace core::mutter
