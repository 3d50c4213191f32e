#include "XWindowControl.h"

#include "Apps.h"
#include "Log.h"
#include "XConnection.h"

#include <xcb/xcb_ewmh.h>

#include <QFileInfo>
#include <QSocketNotifier>

#include <algorithm>
#include <cstring>
#include <unistd.h>

namespace core::x11 {

// The EWMH atoms of one connection, released with it.
struct Ewmh {
    xcb_ewmh_connection_t c{};
    ~Ewmh() { xcb_ewmh_connection_wipe(&c); }
};

namespace {

using PropertyReply = Reply<xcb_get_property_reply_t>;

xcb_get_property_cookie_t getProperty(xcb_connection_t* c, xcb_window_t w, xcb_atom_t atom, xcb_atom_t type,
                                      uint32_t longs = 4096)
{
    return xcb_get_property(c, 0, w, atom, type, 0, longs);
}

PropertyReply reply(xcb_connection_t* c, xcb_get_property_cookie_t cookie)
{
    return PropertyReply(xcb_get_property_reply(c, cookie, nullptr));
}

QByteArray bytes(const PropertyReply& r)
{
    if (!r || r->format != 8)
        return {};
    return QByteArray(static_cast<const char*>(xcb_get_property_value(r.get())),
                      xcb_get_property_value_length(r.get()));
}

std::vector<uint32_t> longs(const PropertyReply& r)
{
    if (!r || r->format != 32)
        return {};
    const auto* v = static_cast<const uint32_t*>(xcb_get_property_value(r.get()));
    return std::vector<uint32_t>(v, v + xcb_get_property_value_length(r.get()) / 4);
}

// The program the process runs, by file name; empty when it cannot be read (another user's
// process, or one that is gone).
QString executableOf(qint32 pid)
{
    if (pid <= 0)
        return {};
    const QString target = QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget();
    return target.isEmpty() ? QString() : QFileInfo(target).fileName();
}

// A value of a startup notification message, quoted as the protocol asks.
QByteArray quoted(const QString& value)
{
    QByteArray out = value.toUtf8();
    out.replace('\\', "\\\\").replace('"', "\\\"");
    return '"' + out + '"';
}

bool contains(const std::vector<uint32_t>& list, uint32_t value)
{
    return std::find(list.begin(), list.end(), value) != list.end();
}

} // namespace

std::unique_ptr<WindowControl> WindowControl::open()
{
    auto query = Connection::open();
    auto watch = Connection::open();
    if (!query || !watch)
        return nullptr;
    auto ewmh = std::make_unique<Ewmh>();
    if (!xcb_ewmh_init_atoms_replies(&ewmh->c, xcb_ewmh_init_atoms(query->get(), &ewmh->c), nullptr))
        return nullptr;
    return std::unique_ptr<WindowControl>(new WindowControl(std::move(query), std::move(ewmh), std::move(watch)));
}

WindowControl::WindowControl(std::unique_ptr<Connection> query, std::unique_ptr<Ewmh> ewmh,
                             std::unique_ptr<Connection> watch)
    : query_(std::move(query))
    , ewmh_(std::move(ewmh))
    , watch_(std::move(watch))
{
    clientList_ = ewmh_->c._NET_CLIENT_LIST;
    stackingList_ = ewmh_->c._NET_CLIENT_LIST_STACKING;
    activeAtom_ = ewmh_->c._NET_ACTIVE_WINDOW;
    netWmState_ = ewmh_->c._NET_WM_STATE;
    wmState_ = watch_->atom("WM_STATE");
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(watch_->get(), watch_->root(), XCB_CW_EVENT_MASK, &mask);
    watchClients();
    notifier_ = std::make_unique<QSocketNotifier>(watch_->fd(), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { readEvents(); });
    readEvents();
}

WindowControl::~WindowControl() = default;

void WindowControl::watchClients()
{
    // Iconifying and un-iconifying show only on the client: its WM_STATE and _NET_WM_STATE.
    xcb_connection_t* c = watch_->get();
    const auto list = longs(reply(c, getProperty(c, watch_->root(), clientList_, XCB_ATOM_WINDOW)));
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    for (uint32_t w : list)
        xcb_change_window_attributes(c, w, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(c);
}

void WindowControl::readEvents()
{
    bool changed = false;
    bool clientsChanged = false;
    // Windows that vanish before the mask reaches them answer with errors; they arrive here too.
    for (;;) {
        while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(watch_->get())}) {
            if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY)
                continue;
            const auto* p = reinterpret_cast<const xcb_property_notify_event_t*>(event.get());
            lastTime_ = p->time;
            if (p->window == watch_->root()) {
                if (p->atom == clientList_ || p->atom == stackingList_)
                    changed = clientsChanged = true;
                else if (p->atom == activeAtom_)
                    changed = true;
            } else if (p->atom == netWmState_ || p->atom == wmState_) {
                changed = true;
            }
        }
        if (!clientsChanged)
            break;
        clientsChanged = false;
        watchClients();
    }
    if (watch_->broken()) {
        log(QStringLiteral("apps: lost the X display, no more window change notices"));
        notifier_->setEnabled(false);
        return;
    }
    if (changed)
        emit this->changed();
}

void WindowControl::discardErrors()
{
    // Requests to windows that just went away fail; the failures are of no use to anyone.
    xcb_flush(query_->get());
    while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(query_->get())}) { }
}

std::vector<quint32> WindowControl::clients(bool stacking)
{
    xcb_connection_t* c = query_->get();
    auto list = longs(reply(c, getProperty(c, query_->root(), stacking ? stackingList_ : clientList_, XCB_ATOM_WINDOW)));
    if (list.empty() && stacking)
        list = longs(reply(c, getProperty(c, query_->root(), clientList_, XCB_ATOM_WINDOW)));
    return {list.begin(), list.end()};
}

bool WindowControl::supported(quint32 atom)
{
    xcb_connection_t* c = query_->get();
    return contains(longs(reply(c, getProperty(c, query_->root(), ewmh_->c._NET_SUPPORTED, XCB_ATOM_ATOM))), atom);
}

bool WindowControl::managed(quint32 window)
{
    const auto list = clients(false);
    return std::find(list.begin(), list.end(), window) != list.end();
}

std::vector<TopWindow> WindowControl::windows()
{
    xcb_connection_t* c = query_->get();
    std::vector<quint32> ids = clients(true);
    std::reverse(ids.begin(), ids.end()); // the property lists bottom to top
    const xcb_ewmh_connection_t& e = ewmh_->c;
    const xcb_atom_t gtkAppId = query_->atom("_GTK_APPLICATION_ID");

    struct Cookies {
        xcb_get_property_cookie_t pid, name, legacyName, wmClass, appId, type, state;
        xcb_get_geometry_cookie_t geometry;
        xcb_translate_coordinates_cookie_t origin;
    };
    // All requests go out before the first reply is awaited: one round trip for the whole list.
    std::vector<Cookies> cookies;
    cookies.reserve(ids.size());
    for (quint32 w : ids)
        cookies.push_back({getProperty(c, w, e._NET_WM_PID, XCB_ATOM_CARDINAL, 1),
                           getProperty(c, w, e._NET_WM_NAME, e.UTF8_STRING),
                           getProperty(c, w, XCB_ATOM_WM_NAME, XCB_ATOM_ANY),
                           getProperty(c, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING),
                           getProperty(c, w, gtkAppId, e.UTF8_STRING),
                           getProperty(c, w, e._NET_WM_WINDOW_TYPE, XCB_ATOM_ATOM),
                           getProperty(c, w, e._NET_WM_STATE, XCB_ATOM_ATOM),
                           xcb_get_geometry(c, w),
                           xcb_translate_coordinates(c, w, query_->root(), 0, 0)});

    std::vector<TopWindow> out;
    out.reserve(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        const Cookies& k = cookies[i];
        TopWindow w;
        w.id = ids[i];
        const auto pid = longs(reply(c, k.pid));
        w.pid = pid.empty() ? 0 : qint32(pid[0]);
        w.title = QString::fromUtf8(bytes(reply(c, k.name)));
        const QByteArray legacy = bytes(reply(c, k.legacyName));
        if (w.title.isEmpty())
            w.title = QString::fromLocal8Bit(legacy);
        const QList<QByteArray> wmClass = bytes(reply(c, k.wmClass)).split('\0');
        w.wmInstance = QString::fromLocal8Bit(wmClass.value(0));
        w.wmClass = QString::fromLocal8Bit(wmClass.value(1));
        w.appId = QString::fromUtf8(bytes(reply(c, k.appId)));
        const auto types = longs(reply(c, k.type));
        w.normal = types.empty() || contains(types, e._NET_WM_WINDOW_TYPE_NORMAL);
        w.iconified = contains(longs(reply(c, k.state)), e._NET_WM_STATE_HIDDEN);
        const Reply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c, k.geometry, nullptr));
        const Reply<xcb_translate_coordinates_reply_t> o(xcb_translate_coordinates_reply(c, k.origin, nullptr));
        if (!g || !o)
            continue; // gone meanwhile
        w.frame = {double(o->dst_x), double(o->dst_y), double(g->width), double(g->height)};
        w.executable = executableOf(w.pid);
        out.push_back(std::move(w));
    }
    discardErrors();
    return out;
}

std::optional<quint32> WindowControl::activeWindow()
{
    xcb_connection_t* c = query_->get();
    const auto v = longs(reply(c, getProperty(c, query_->root(), activeAtom_, XCB_ATOM_WINDOW, 1)));
    if (v.empty() || v[0] == XCB_WINDOW_NONE)
        return std::nullopt;
    return v[0];
}

std::optional<IconPixels> WindowControl::icon(quint32 window, int edge)
{
    xcb_connection_t* c = query_->get();
    const auto data = longs(reply(c, getProperty(c, window, ewmh_->c._NET_WM_ICON, XCB_ATOM_CARDINAL, 4 << 20)));
    discardErrors();
    return Apps::pickIcon(data, edge);
}

bool WindowControl::exists(quint32 window)
{
    xcb_connection_t* c = query_->get();
    const Reply<xcb_get_window_attributes_reply_t> r(
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr));
    return r != nullptr;
}

bool WindowControl::activate(quint32 window)
{
    if (!managed(window) || !supported(ewmh_->c._NET_ACTIVE_WINDOW))
        return false;
    // As a pager: window managers honour a pager's request without focus-stealing checks, and
    // un-iconify and raise the window as part of activating it.
    xcb_ewmh_request_change_active_window(&ewmh_->c, 0, window, XCB_EWMH_CLIENT_SOURCE_TYPE_OTHER,
                                          XCB_CURRENT_TIME, activeWindow().value_or(XCB_WINDOW_NONE));
    discardErrors();
    return true;
}

void WindowControl::iconify(quint32 window)
{
    // ICCCM 4.1.4: a WM_CHANGE_STATE message with IconicState asks the window manager to iconify.
    xcb_client_message_event_t m{};
    m.response_type = XCB_CLIENT_MESSAGE;
    m.format = 32;
    m.window = window;
    m.type = query_->atom("WM_CHANGE_STATE");
    m.data.data32[0] = 3; // IconicState
    xcb_send_event(query_->get(), 0, query_->root(),
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&m));
    discardErrors();
}

bool WindowControl::close(quint32 window)
{
    if (!managed(window) || !supported(ewmh_->c._NET_CLOSE_WINDOW))
        return false;
    xcb_ewmh_request_close_window(&ewmh_->c, 0, window, XCB_CURRENT_TIME, XCB_EWMH_CLIENT_SOURCE_TYPE_OTHER);
    discardErrors();
    return true;
}

QString WindowControl::launchStarted(const QString& name)
{
    // The _TIME part lets the window manager weigh the new window's claim to the focus against
    // what the user did since; the latest event is the best clock the agent has.
    QString id = QStringLiteral("remote-agent-%1-%2").arg(getpid()).arg(++launches_);
    if (lastTime_ != 0)
        id += QStringLiteral("_TIME") + QString::number(lastTime_);
    broadcast("new: ID=" + quoted(id) + " NAME=" + quoted(name) + " SCREEN=" + QByteArray::number(0));
    return id;
}

void WindowControl::launchFailed(const QString& id)
{
    broadcast("remove: ID=" + quoted(id));
}

void WindowControl::broadcast(const QByteArray& message)
{
    // Startup notification messages go to the root window in 20-byte pieces, the first typed
    // _NET_STARTUP_INFO_BEGIN, the rest _NET_STARTUP_INFO, the text ending with its NUL.
    xcb_connection_t* c = query_->get();
    if (sender_ == 0) {
        sender_ = xcb_generate_id(c);
        xcb_create_window(c, 0, sender_, query_->root(), -1, -1, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                          XCB_COPY_FROM_PARENT, 0, nullptr);
    }
    const xcb_atom_t begin = query_->atom("_NET_STARTUP_INFO_BEGIN"), more = query_->atom("_NET_STARTUP_INFO");
    const QByteArray text = message + '\0';
    for (qsizetype at = 0; at < text.size(); at += 20) {
        xcb_client_message_event_t m{};
        m.response_type = XCB_CLIENT_MESSAGE;
        m.format = 8;
        m.window = sender_;
        m.type = at == 0 ? begin : more;
        std::memcpy(m.data.data8, text.constData() + at, size_t(std::min<qsizetype>(20, text.size() - at)));
        xcb_send_event(c, 0, query_->root(), XCB_EVENT_MASK_PROPERTY_CHANGE, reinterpret_cast<const char*>(&m));
    }
    discardErrors();
}

} // namespace core::x11
