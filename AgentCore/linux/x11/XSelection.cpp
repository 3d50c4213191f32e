#include "XSelection.h"

#include "Clipboard.h"
#include "Log.h"

#include <xcb/xfixes.h>

#include <QDeadlineTimer>
#include <QSocketNotifier>

#include <algorithm>
#include <cstring>
#include <poll.h>

namespace core::x11 {

namespace {

// How long an owner may take to answer a conversion, or to hand over the next piece.
constexpr int answerMs = 5000;
// Content beyond this is refused while reading: far over any cap, it only costs memory.
constexpr qsizetype readLimit = 64 * 1024 * 1024;
// An INCR transfer whose requestor stopped taking pieces is forgotten after this.
constexpr qint64 staleTransferMs = 30000;
// Pieces of about this size keep every single request small, as toolkits expect.
constexpr quint32 preferredPiece = 256 * 1024;

const QString textFormat = QLatin1String(Clipboard::textFormat);
// The X targets that carry text, best first; STRING is Latin-1.
const char* const utf8Targets[] = {"UTF8_STRING", "text/plain;charset=utf-8"};
const char* const textTargets[] = {"UTF8_STRING", "text/plain;charset=utf-8", "TEXT", "STRING", "text/plain"};

int eventType(const xcb_generic_event_t& e) { return e.response_type & 0x7f; }

} // namespace

std::unique_ptr<Selection> Selection::open(QString* why)
{
    auto x = Connection::open();
    if (!x) {
        *why = QStringLiteral("cannot open the X display");
        return nullptr;
    }
    const int xfixes = x->firstEvent(&xcb_xfixes_id);
    if (xfixes < 0) {
        *why = QStringLiteral("the X server lacks XFixes");
        return nullptr;
    }
    Reply<xcb_xfixes_query_version_reply_t> version(
        xcb_xfixes_query_version_reply(x->get(), xcb_xfixes_query_version(x->get(), 5, 0), nullptr));
    return std::unique_ptr<Selection>(new Selection(std::move(x), xfixes));
}

Selection::Selection(std::unique_ptr<Connection> x, int xfixesBase)
    : x_(std::move(x))
    , xfixesBase_(xfixesBase)
{
    window_ = xcb_generate_id(c());
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(c(), XCB_COPY_FROM_PARENT, window_, x_->root(), 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      x_->screen()->root_visual, XCB_CW_EVENT_MASK, &mask);
    xcb_xfixes_select_selection_input(c(), window_, atom(QStringLiteral("CLIPBOARD")),
                                      XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER
                                          | XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY
                                          | XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
    // The property request itself takes a few bytes beside the data.
    const quint64 maxRequest = quint64(xcb_get_maximum_request_length(c())) * 4;
    piece_ = quint32(std::min<quint64>(preferredPiece, maxRequest - 64));
    xcb_flush(c());
}

Selection::~Selection()
{
    if (window_)
        xcb_destroy_window(c(), window_);
    xcb_flush(c());
}

void Selection::start()
{
    notifier_ = std::make_unique<QSocketNotifier>(x_->fd(), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { drain(); });
    drain();
}

void Selection::stop() { notifier_.reset(); }

void Selection::drain()
{
    while (Event event{xcb_poll_for_event(c())})
        handle(*event);
    xcb_flush(c());
    if (x_->broken() && notifier_) {
        log(QStringLiteral("clipboard: lost the X display"));
        notifier_->setEnabled(false);
    }
}

xcb_atom_t Selection::atom(const QString& name)
{
    auto it = atoms_.find(name);
    if (it == atoms_.end()) {
        it = atoms_.insert(name, x_->atom(name.toUtf8().constData()));
        names_.insert(*it, name);
    }
    return *it;
}

QString Selection::atomName(xcb_atom_t a)
{
    auto it = names_.find(a);
    if (it == names_.end()) {
        it = names_.insert(a, QString::fromStdString(x_->atomName(a)));
        atoms_.insert(*it, a);
    }
    return *it;
}

void Selection::handle(const xcb_generic_event_t& event)
{
    const int type = eventType(event);
    if (type == XCB_SELECTION_REQUEST) {
        serve(reinterpret_cast<const xcb_selection_request_event_t&>(event));
    } else if (type == XCB_SELECTION_CLEAR) {
        const auto& clear = reinterpret_cast<const xcb_selection_clear_event_t&>(event);
        if (clear.owner == window_ && clear.selection == atom(QStringLiteral("CLIPBOARD")))
            owned_.clear();
    } else if (type == XCB_PROPERTY_NOTIFY) {
        continueTransfer(reinterpret_cast<const xcb_property_notify_event_t&>(event));
    } else if (type == xfixesBase_ + XCB_XFIXES_SELECTION_NOTIFY) {
        ++changes_;
    }
}

void Selection::serve(const xcb_selection_request_event_t& request)
{
    std::erase_if(transfers_, [](const Transfer& t) { return t.age.hasExpired(staleTransferMs); });
    // Clients from before ICCCM 2 leave the property out and mean the target's name.
    const xcb_atom_t property = request.property != XCB_NONE ? request.property : request.target;
    const bool ours = request.selection == atom(QStringLiteral("CLIPBOARD")) && request.owner == window_;
    xcb_selection_notify_event_t notify{};
    notify.response_type = XCB_SELECTION_NOTIFY;
    notify.time = request.time;
    notify.requestor = request.requestor;
    notify.selection = request.selection;
    notify.target = request.target;
    notify.property = ours && answer(request.requestor, property, request.target) ? property : xcb_atom_t(XCB_ATOM_NONE);
    // SendEvent always sends 32 bytes.
    char wire[32] = {};
    std::memcpy(wire, &notify, sizeof notify);
    xcb_send_event(c(), false, request.requestor, XCB_EVENT_MASK_NO_EVENT, wire);
    xcb_flush(c());
}

bool Selection::answer(xcb_window_t requestor, xcb_atom_t property, xcb_atom_t target)
{
    if (owned_.empty())
        return false;
    if (target == atom(QStringLiteral("TARGETS"))) {
        std::vector<xcb_atom_t> targets{atom(QStringLiteral("TARGETS")), atom(QStringLiteral("TIMESTAMP"))};
        for (const auto& [t, bytes] : owned_)
            targets.push_back(t);
        xcb_change_property(c(), XCB_PROP_MODE_REPLACE, requestor, property, XCB_ATOM_ATOM, 32, targets.size(), targets.data());
        return true;
    }
    if (target == atom(QStringLiteral("TIMESTAMP"))) {
        xcb_change_property(c(), XCB_PROP_MODE_REPLACE, requestor, property, XCB_ATOM_INTEGER, 32, 1, &ownedSince_);
        return true;
    }
    const auto it = std::find_if(owned_.begin(), owned_.end(), [&](const auto& o) { return o.first == target; });
    if (it == owned_.end())
        return false;
    const QByteArray& bytes = it->second;
    // ICCCM: TEXT is answered in a real encoding; every other target is its own type.
    const xcb_atom_t type = target == atom(QStringLiteral("TEXT")) ? atom(QStringLiteral("UTF8_STRING")) : target;
    if (bytes.size() <= qsizetype(piece_)) {
        xcb_change_property(c(), XCB_PROP_MODE_REPLACE, requestor, property, type, 8, bytes.size(), bytes.constData());
        return true;
    }
    // INCR: the requestor deletes the property for each next piece; we hear it by PropertyNotify.
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(c(), requestor, XCB_CW_EVENT_MASK, &mask);
    const uint32_t size = uint32_t(std::min<qsizetype>(bytes.size(), UINT32_MAX));
    xcb_change_property(c(), XCB_PROP_MODE_REPLACE, requestor, property, atom(QStringLiteral("INCR")), 32, 1, &size);
    Transfer t{requestor, property, target, bytes, 0, {}};
    t.age.start();
    transfers_.push_back(std::move(t));
    return true;
}

void Selection::continueTransfer(const xcb_property_notify_event_t& notify)
{
    if (notify.state != XCB_PROPERTY_DELETE)
        return;
    const auto it = std::find_if(transfers_.begin(), transfers_.end(), [&](const Transfer& t) {
        return t.requestor == notify.window && t.property == notify.atom;
    });
    if (it == transfers_.end())
        return;
    const qsizetype length = std::min<qsizetype>(piece_, it->bytes.size() - it->sent);
    // The last piece is empty: it tells the requestor the transfer is complete.
    xcb_change_property(c(), XCB_PROP_MODE_REPLACE, it->requestor, it->property, it->type, 8, length,
                        it->bytes.constData() + it->sent);
    it->sent += length;
    it->age.restart();
    if (length == 0) {
        const xcb_window_t requestor = it->requestor;
        transfers_.erase(it);
        if (std::none_of(transfers_.begin(), transfers_.end(), [&](const Transfer& t) { return t.requestor == requestor; })) {
            const uint32_t none = XCB_EVENT_MASK_NO_EVENT;
            xcb_change_window_attributes(c(), requestor, XCB_CW_EVENT_MASK, &none);
        }
    }
    xcb_flush(c());
}

Selection::Event Selection::waitFor(const std::function<bool(const xcb_generic_event_t&)>& match, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    xcb_flush(c());
    for (;;) {
        while (Event event{xcb_poll_for_event(c())}) {
            if (match(*event))
                return event;
            handle(*event);
        }
        if (x_->broken() || deadline.hasExpired())
            return nullptr;
        pollfd p{x_->fd(), POLLIN, 0};
        ::poll(&p, 1, int(std::max<qint64>(1, deadline.remainingTime())));
    }
}

xcb_timestamp_t Selection::serverTime()
{
    // ICCCM: a zero-length append to our own window yields a PropertyNotify carrying the time.
    const xcb_atom_t stamp = atom(QStringLiteral("_REMOTE_AGENT_TIME"));
    xcb_change_property(c(), XCB_PROP_MODE_APPEND, window_, stamp, XCB_ATOM_INTEGER, 32, 0, nullptr);
    Event e = waitFor(
        [&](const xcb_generic_event_t& e) {
            const auto& p = reinterpret_cast<const xcb_property_notify_event_t&>(e);
            return eventType(e) == XCB_PROPERTY_NOTIFY && p.window == window_ && p.atom == stamp;
        },
        answerMs);
    return e ? reinterpret_cast<const xcb_property_notify_event_t*>(e.get())->time : XCB_CURRENT_TIME;
}

std::optional<QByteArray> Selection::takeProperty(xcb_atom_t* type)
{
    const xcb_atom_t property = atom(QStringLiteral("_REMOTE_AGENT_SELECTION"));
    QByteArray out;
    // Large properties come in pieces; the property goes only once the last piece has been read.
    constexpr uint32_t longsPerRead = 1024 * 1024;
    for (uint32_t offset = 0;;) {
        Reply<xcb_get_property_reply_t> r(xcb_get_property_reply(
            c(), xcb_get_property(c(), true, window_, property, XCB_GET_PROPERTY_TYPE_ANY, offset, longsPerRead), nullptr));
        if (!r || r->type == XCB_NONE)
            return std::nullopt;
        *type = r->type;
        out.append(static_cast<const char*>(xcb_get_property_value(r.get())), xcb_get_property_value_length(r.get()));
        if (r->bytes_after == 0)
            return out;
        if (out.size() > readLimit) {
            xcb_delete_property(c(), window_, property);
            return std::nullopt;
        }
        offset += longsPerRead;
    }
}

std::optional<QByteArray> Selection::convert(xcb_atom_t target)
{
    const xcb_atom_t clipboard = atom(QStringLiteral("CLIPBOARD"));
    const xcb_atom_t property = atom(QStringLiteral("_REMOTE_AGENT_SELECTION"));
    xcb_delete_property(c(), window_, property);
    xcb_convert_selection(c(), window_, clipboard, target, property, XCB_CURRENT_TIME);
    Event e = waitFor(
        [&](const xcb_generic_event_t& e) {
            const auto& n = reinterpret_cast<const xcb_selection_notify_event_t&>(e);
            return eventType(e) == XCB_SELECTION_NOTIFY && n.requestor == window_ && n.selection == clipboard
                && n.target == target;
        },
        answerMs);
    if (!e || reinterpret_cast<const xcb_selection_notify_event_t*>(e.get())->property == XCB_NONE)
        return std::nullopt;
    xcb_atom_t type = XCB_NONE;
    std::optional<QByteArray> bytes = takeProperty(&type);
    if (!bytes || type != atom(QStringLiteral("INCR")))
        return bytes;
    // INCR: deleting the property (done by takeProperty) asks for each next piece; an empty
    // piece ends the transfer.
    QByteArray whole;
    for (;;) {
        Event piece = waitFor(
            [&](const xcb_generic_event_t& e) {
                const auto& p = reinterpret_cast<const xcb_property_notify_event_t&>(e);
                return eventType(e) == XCB_PROPERTY_NOTIFY && p.window == window_ && p.atom == property
                    && p.state == XCB_PROPERTY_NEW_VALUE;
            },
            answerMs);
        if (!piece)
            return std::nullopt;
        std::optional<QByteArray> part = takeProperty(&type);
        if (!part)
            return std::nullopt;
        if (part->isEmpty())
            return whole;
        whole.append(*part);
        if (whole.size() > readLimit)
            return std::nullopt;
    }
}

QStringList Selection::formats()
{
    drain();
    QStringList out;
    if (!owned_.empty()) {
        for (const auto& [target, bytes] : owned_)
            out << atomName(target);
        return out;
    }
    const std::optional<QByteArray> targets = convert(atom(QStringLiteral("TARGETS")));
    if (!targets)
        return out;
    const auto* atoms = reinterpret_cast<const xcb_atom_t*>(targets->constData());
    const qsizetype count = targets->size() / qsizetype(sizeof(xcb_atom_t));
    // Ask for every unknown name at once rather than one round trip each.
    std::vector<std::pair<xcb_atom_t, xcb_get_atom_name_cookie_t>> asked;
    for (qsizetype i = 0; i < count; ++i)
        if (!names_.contains(atoms[i]))
            asked.emplace_back(atoms[i], xcb_get_atom_name(c(), atoms[i]));
    for (const auto& [a, cookie] : asked) {
        Reply<xcb_get_atom_name_reply_t> r(xcb_get_atom_name_reply(c(), cookie, nullptr));
        if (!r)
            continue;
        const QString name = QString::fromUtf8(xcb_get_atom_name_name(r.get()), xcb_get_atom_name_name_length(r.get()));
        names_.insert(a, name);
        atoms_.insert(name, a);
    }
    for (qsizetype i = 0; i < count; ++i)
        if (names_.contains(atoms[i]))
            out << names_.value(atoms[i]);
    if (!out.contains(textFormat) && std::any_of(std::begin(textTargets), std::end(textTargets), [&](const char* t) {
            return out.contains(QLatin1String(t));
        }))
        out << textFormat;
    return out;
}

std::optional<QByteArray> Selection::data(const QString& format)
{
    drain();
    if (!owned_.empty()) {
        const xcb_atom_t target = atom(format);
        for (const auto& [t, bytes] : owned_)
            if (t == target)
                return bytes;
        return std::nullopt;
    }
    if (format != textFormat)
        return convert(atom(format));
    for (const char* t : utf8Targets)
        if (auto text = convert(atom(QLatin1String(t))))
            return text;
    if (auto latin1 = convert(XCB_ATOM_STRING))
        return QString::fromLatin1(*latin1).toUtf8();
    return std::nullopt;
}

void Selection::write(const QString& format, const QByteArray& bytes)
{
    drain();
    owned_.clear();
    if (format == textFormat) {
        for (const char* t : textTargets)
            owned_.emplace_back(atom(QLatin1String(t)), bytes);
        // STRING is Latin-1 by definition.
        for (auto& [t, b] : owned_)
            if (t == atom(QStringLiteral("STRING")))
                b = QString::fromUtf8(bytes).toLatin1();
    } else {
        owned_.emplace_back(atom(format), bytes);
    }
    ownedSince_ = serverTime();
    const xcb_atom_t clipboard = atom(QStringLiteral("CLIPBOARD"));
    xcb_set_selection_owner(c(), window_, clipboard, ownedSince_);
    Reply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(c(), xcb_get_selection_owner(c(), clipboard), nullptr));
    if (!owner || owner->owner != window_) {
        owned_.clear();
        throw AgentError(QStringLiteral("The clipboard could not be set."));
    }
    // The XFixes notice of our own change came before the reply: count it now, so the caller
    // reads a change count that already includes this write.
    while (Event event{xcb_poll_for_queued_event(c())})
        handle(*event);
    xcb_flush(c());
}

} // namespace core::x11
