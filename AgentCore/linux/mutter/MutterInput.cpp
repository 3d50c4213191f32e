#include "MutterInput.h"

#include "Log.h"
#include "MutterBus.h"
#include "MutterScreenCast.h"
#include "WaylandKeymap.h"

#include <QDBusMessage>

#include <linux/input-event-codes.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace core::mutter {

namespace {

// NotifyPointerAxisDiscrete axes.
constexpr uint kVertical = 0;
constexpr uint kHorizontal = 1;
// NotifyPointerAxis flags: scrolling from a continuous source (not wheel clicks, not a finger
// that may start kinetic scrolling).
constexpr uint kAxisContinuous = 1u << 3;
// How long, over an injector's life, typing may wait for the compositor to tell its keymap.
constexpr std::chrono::milliseconds kKeymapWait{1000};

std::optional<int> evdevButton(std::uint8_t x)
{
    switch (x) {
    case 1: return BTN_LEFT;
    case 2: return BTN_MIDDLE;
    case 3: return BTN_RIGHT;
    case 8: return BTN_SIDE;
    case 9: return BTN_EXTRA;
    default: return std::nullopt;
    }
}

QStringList connectorsOf(const std::vector<Monitor>& monitors)
{
    QStringList connectors;
    for (const Monitor& m : monitors)
        connectors << m.connector;
    return connectors;
}

} // namespace

Input::Input(QDBusConnection bus, std::shared_ptr<CastSignals> announced)
    : bus_(std::move(bus))
    , signals_(std::move(announced))
    , ackFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
}

std::unique_ptr<Input> Input::open(QDBusConnection bus, std::shared_ptr<CastSignals> announced)
{
    std::unique_ptr<Input> input(new Input(std::move(bus), std::move(announced)));
    if (input->ackFd_ < 0)
        return nullptr;
    try {
        input->restart();
    } catch (const AgentError& e) {
        log(QStringLiteral("input: ") + e.description());
        return nullptr;
    }
    input->keymap_ = WaylandKeymap::connect();
    if (input->keymap_) {
        input->keymapNotifier_ = std::make_unique<QSocketNotifier>(input->keymap_->fd(), QSocketNotifier::Read);
        connect(input->keymapNotifier_.get(), &QSocketNotifier::activated, input.get(), &Input::readKeymap);
    }
    return input;
}

void Input::readKeymap()
{
    if (keymap_ && !keymap_->dispatch()) {
        log(QStringLiteral("input: the connection to the Wayland display broke; text is typed without its keymap"));
        keymapNotifier_.reset();
        keymap_.reset();
    }
}

Input::~Input()
{
    keymapNotifier_.reset();
    releaseAll();
    session_.reset();
    if (ackFd_ >= 0)
        ::close(ackFd_);
}

void Input::restart()
{
    layoutSerial_ = signals_->layoutSerial();
    monitors_ = readMonitors(bus_);
    session_.reset();
    session_ = std::make_unique<CastSession>(bus_, *signals_, connectorsOf(monitors_), false);
}

void Input::notify(const QString& method, const QVariantList& args)
{
    if (!session_)
        return;
    QDBusMessage message = QDBusMessage::createMethodCall(kRemoteDesktop, session_->sessionPath(), kRemoteDesktopSession, method);
    message.setArguments(args);
    bus_.send(message);
}

void Input::moveTo(int x, int y)
{
    if (signals_->layoutSerial() != layoutSerial_) {
        // A monitor that came or went needs a stream of its own to be pointed at.
        releaseAll();
        try {
            restart();
        } catch (const AgentError& e) {
            log(QStringLiteral("input: ") + e.description());
            session_.reset();
            return;
        }
    }
    if (!session_)
        return;
    for (size_t i = 0; i < monitors_.size(); ++i) {
        const DisplayInfo& d = monitors_[i].display;
        if (x < d.x || y < d.y || x >= d.x + d.width || y >= d.y + d.height)
            continue;
        notify(QStringLiteral("NotifyPointerMotionAbsolute"),
               {session_->streams()[i].path, double(x - d.x), double(y - d.y)});
        pointer_ = QPoint(x, y);
        return;
    }
}

void Input::button(std::uint8_t button, bool press)
{
    if (button >= 4 && button <= 7) {
        // Wheel clicks are one event, sent on the press.
        if (press)
            notify(QStringLiteral("NotifyPointerAxisDiscrete"),
                   {button <= 5 ? kVertical : kHorizontal, int(button == 4 || button == 6 ? -1 : 1)});
        return;
    }
    const std::optional<int> code = evdevButton(button);
    if (!code)
        return;
    if (press)
        buttonsDown_.insert(button);
    else
        buttonsDown_.erase(button);
    notify(QStringLiteral("NotifyPointerButton"), {*code, press});
}

void Input::scroll(double dx, double dy)
{
    // Mutter's axes grow rightwards and downwards, like the content under a finger moving up.
    notify(QStringLiteral("NotifyPointerAxis"), {-dx, -dy, kAxisContinuous});
}

bool Input::key(KeySym sym, bool press)
{
    if (press)
        keysDown_.insert(sym);
    else
        keysDown_.erase(sym);
    notify(QStringLiteral("NotifyKeyboardKeysym"), {uint(sym), press});
    return session_ != nullptr;
}

bool Input::type(KeySym sym)
{
    readKeymap();
    if (keymap_) {
        keymap_->settle(kKeymapWait);
        if (keymap_->serial() != keymapSerial_) {
            // Another layout: what it lacks is told anew.
            keymapSerial_ = keymap_->serial();
            untypeableLogged_ = false;
        }
    }
    if (keymap_ && keymap_->known()) {
        const std::optional<KeySym> typed = keymap_->typeable(sym);
        if (!typed) {
            // Said once per layout, and without the character: typed text can be a password.
            if (!untypeableLogged_) {
                untypeableLogged_ = true;
                log(QStringLiteral("input: text holds characters no key of the desktop's keyboard layout types; they are skipped"));
            }
            return false;
        }
        sym = *typed;
    }
    return key(sym, true) && key(sym, false);
}

void Input::releaseAll()
{
    for (std::uint8_t b : std::set<std::uint8_t>(buttonsDown_))
        button(b, false);
    for (KeySym k : std::set<KeySym>(keysDown_))
        key(k, false);
}

void Input::requestAck()
{
    if (!session_ || ackPending_)
        return;
    // A method Mutter runs on its main loop, like the input calls before it.
    QDBusMessage message = QDBusMessage::createMethodCall(kRemoteDesktop, session_->sessionPath(),
                                                          QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    message.setArguments({kRemoteDesktopSession, QStringLiteral("SessionId")});
    ackPending_ = bus_.callWithCallback(message, this, SLOT(acknowledged()), SLOT(acknowledged()), kCallTimeoutMs);
}

void Input::acknowledged()
{
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(ackFd_, &one, sizeof one);
}

bool Input::pollAck()
{
    uint64_t count = 0;
    if (::read(ackFd_, &count, sizeof count) != ssize_t(sizeof count) || !ackPending_)
        return false;
    ackPending_ = false;
    return true;
}

void Input::sync()
{
    if (!session_)
        return;
    call(bus_, kRemoteDesktop, session_->sessionPath(), QStringLiteral("org.freedesktop.DBus.Properties"),
         QStringLiteral("Get"), {kRemoteDesktopSession, QStringLiteral("SessionId")});
}

} // namespace core::mutter
