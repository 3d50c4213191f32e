#include "InputProbe.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

#include <xcb/xcb.h>
// WORKAROUND: xcb's XKB header names a member `explicit`, which is a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

#include <bitset>
#include <cstdlib>
#include <memory>

namespace {

template <typename T> using Reply = std::unique_ptr<T, decltype(&std::free)>;
struct Disconnect {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
using Connection = std::unique_ptr<xcb_connection_t, Disconnect>;

Connection connect(xcb_screen_t** screen)
{
    int n = 0;
    Connection c(xcb_connect(nullptr, &n));
    if (xcb_connection_has_error(c.get()))
        return nullptr;
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c.get()));
    for (int i = 0; i < n && it.rem; ++i)
        xcb_screen_next(&it);
    *screen = it.data;
    return c;
}

// A connection that may use XKB requests; none without a display or XKB.
Connection connectXkb()
{
    xcb_screen_t* screen = nullptr;
    Connection c = connect(&screen);
    if (!c)
        return nullptr;
    Reply<xcb_xkb_use_extension_reply_t> use(xcb_xkb_use_extension_reply(c.get(), xcb_xkb_use_extension(c.get(), 1, 0), nullptr),
                                             &std::free);
    if (!use || !use->supported)
        return nullptr;
    return c;
}

} // namespace

InputProbe::InputProbe(QRect area)
{
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(QStringLiteral(INPUT_PROBE),
                   {QString::number(area.x()), QString::number(area.y()), QString::number(area.width()),
                    QString::number(area.height())});
    ready_ = waitFor(QStringLiteral("ready")).has_value();
}

InputProbe::~InputProbe()
{
    process_.kill();
    process_.waitForFinished();
}

bool InputProbe::readLine(Event& out)
{
    if (!process_.canReadLine())
        return false;
    const QStringList parts = QString::fromUtf8(process_.readLine()).trimmed().split(QLatin1Char(' '));
    out.kind = parts.value(0);
    out.fields = parts.mid(1);
    return true;
}

std::optional<InputProbe::Event> InputProbe::waitFor(const std::function<bool(const Event&)>& match, int timeoutMs)
{
    seen_.clear();
    const QDeadlineTimer deadline(timeoutMs);
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&process_, &QProcess::readyReadStandardOutput, &loop, &QEventLoop::quit);
    QObject::connect(&process_, &QProcess::finished, &loop, &QEventLoop::quit);
    for (;;) {
        Event e;
        while (readLine(e)) {
            seen_.push_back(e);
            if (match(e))
                return e;
        }
        if (deadline.hasExpired() || process_.state() == QProcess::NotRunning)
            return std::nullopt;
        timer.start(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
        loop.exec();
    }
}

std::optional<InputProbe::Event> InputProbe::waitFor(const QString& kind, int timeoutMs)
{
    return waitFor([&kind](const Event& e) { return e.kind == kind; }, timeoutMs);
}

PrivateXvfb::PrivateXvfb()
    : previous_(qgetenv("DISPLAY"))
{
    server_.setProcessChannelMode(QProcess::SeparateChannels);
    server_.setStandardErrorFile(QProcess::nullDevice());
    // Xvfb writes the display number it picked to the descriptor given to -displayfd.
    server_.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                                           QStringLiteral("0"), QStringLiteral("1920x1080x24"),
                                           QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                                           // Without it the server resets whenever its last client
                                           // leaves, and turns away whoever connects meanwhile.
                                           QStringLiteral("-noreset")});
    const QDeadlineTimer deadline(20000);
    while (!server_.canReadLine() && server_.state() != QProcess::NotRunning && !deadline.hasExpired())
        server_.waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
    if (!server_.canReadLine())
        return;
    display_ = QStringLiteral(":") + QString::fromUtf8(server_.readLine()).trimmed();
    qputenv("DISPLAY", display_.toUtf8());
}

PrivateXvfb::~PrivateXvfb()
{
    if (previous_.isEmpty())
        qunsetenv("DISPLAY");
    else
        qputenv("DISPLAY", previous_);
    server_.terminate();
    server_.waitForFinished();
}

QRect rootArea()
{
    xcb_screen_t* screen = nullptr;
    Connection c = connect(&screen);
    if (!c)
        return {};
    return QRect(0, 0, screen->width_in_pixels, screen->height_in_pixels);
}

std::vector<unsigned> keyboardMap()
{
    xcb_screen_t* screen = nullptr;
    Connection c = connect(&screen);
    if (!c)
        return {};
    const xcb_setup_t* setup = xcb_get_setup(c.get());
    const auto count = static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1);
    Reply<xcb_get_keyboard_mapping_reply_t> r(
        xcb_get_keyboard_mapping_reply(c.get(), xcb_get_keyboard_mapping(c.get(), setup->min_keycode, count), nullptr),
        &std::free);
    if (!r)
        return {};
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(r.get());
    return std::vector<unsigned>(syms, syms + xcb_get_keyboard_mapping_keysyms_length(r.get()));
}

unsigned pointerButtonMask()
{
    xcb_screen_t* screen = nullptr;
    Connection c = connect(&screen);
    if (!c)
        return ~0u;
    Reply<xcb_query_pointer_reply_t> r(xcb_query_pointer_reply(c.get(), xcb_query_pointer(c.get(), screen->root), nullptr),
                                       &std::free);
    return r ? (r->mask & 0x1f00u) : ~0u;
}

int keysDown()
{
    xcb_screen_t* screen = nullptr;
    Connection c = connect(&screen);
    if (!c)
        return -1;
    Reply<xcb_query_keymap_reply_t> r(xcb_query_keymap_reply(c.get(), xcb_query_keymap(c.get()), nullptr), &std::free);
    if (!r)
        return -1;
    int down = 0;
    for (std::uint8_t byte : r->keys)
        down += static_cast<int>(std::bitset<8>(byte).count());
    return down;
}

std::optional<KeyboardLocks> keyboardLocks()
{
    Connection c = connectXkb();
    if (!c)
        return std::nullopt;
    Reply<xcb_xkb_get_state_reply_t> r(
        xcb_xkb_get_state_reply(c.get(), xcb_xkb_get_state(c.get(), XCB_XKB_ID_USE_CORE_KBD), nullptr), &std::free);
    if (!r)
        return std::nullopt;
    return KeyboardLocks{r->lockedGroup, r->lockedMods};
}

bool lockKeyboard(KeyboardLocks locks)
{
    Connection c = connectXkb();
    if (!c)
        return false;
    xcb_generic_error_t* error = xcb_request_check(
        c.get(), xcb_xkb_latch_lock_state_checked(c.get(), XCB_XKB_ID_USE_CORE_KBD, 0xff, static_cast<std::uint8_t>(locks.mods),
                                                  1, static_cast<std::uint8_t>(locks.group), 0, 0, 0));
    std::free(error);
    return !error && keyboardLocks() == locks;
}

bool setKeyboardLayouts(const QString& layouts)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedChannels);
    p.start(QStringLiteral("setxkbmap"), {QStringLiteral("-layout"), layouts});
    return p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}
