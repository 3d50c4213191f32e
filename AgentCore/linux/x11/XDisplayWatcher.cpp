#include "XDisplayWatcher.h"

#include "Log.h"
#include "XConnection.h"

#include <xcb/randr.h>

#include <QSocketNotifier>

namespace core::x11 {

std::unique_ptr<DisplayWatcher> DisplayWatcher::create(std::function<void()> onChange, std::function<void()> onLost)
{
    auto x = Connection::open();
    if (!x || x->firstEvent(&xcb_randr_id) < 0)
        return nullptr;
    return std::unique_ptr<DisplayWatcher>(new DisplayWatcher(std::move(x), std::move(onChange), std::move(onLost)));
}

DisplayWatcher::DisplayWatcher(std::unique_ptr<Connection> x, std::function<void()> onChange,
                               std::function<void()> onLost)
    : x_(std::move(x))
    , onChange_(std::move(onChange))
    , onLost_(std::move(onLost))
{
    randrBase_ = x_->firstEvent(&xcb_randr_id);
    Reply<xcb_randr_query_version_reply_t> version(
        xcb_randr_query_version_reply(x_->get(), xcb_randr_query_version(x_->get(), 1, 5), nullptr));
    xcb_randr_select_input(x_->get(), x_->root(),
                           XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE
                               | XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE | XCB_RANDR_NOTIFY_MASK_OUTPUT_PROPERTY
                               | XCB_RANDR_NOTIFY_MASK_RESOURCE_CHANGE);
    // The server announces a changed monitor list (xrandr --setmonitor / --delmonitor) with a
    // ConfigureNotify on the root window rather than a RandR event. The scale comes from Xft.dpi in
    // the root window's RESOURCE_MANAGER property, so its changes count too.
    const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(x_->get(), x_->root(), XCB_CW_EVENT_MASK, &mask);
    xcb_flush(x_->get());

    notifier_ = std::make_unique<QSocketNotifier>(x_->fd(), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { readEvents(); });
    // Events may already sit in xcb's queue, read along with the version reply.
    readEvents();
}

DisplayWatcher::~DisplayWatcher() = default;

void DisplayWatcher::readEvents()
{
    bool changed = false;
    while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(x_->get())}) {
        const int type = event->response_type & 0x7f;
        if (type == XCB_CONFIGURE_NOTIFY || type == randrBase_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY
            || type == randrBase_ + XCB_RANDR_NOTIFY)
            changed = true;
        else if (type == XCB_PROPERTY_NOTIFY)
            changed = changed
                || reinterpret_cast<const xcb_property_notify_event_t*>(event.get())->atom == XCB_ATOM_RESOURCE_MANAGER;
    }
    if (x_->broken()) {
        log(QStringLiteral("displays: lost the X display, no more change notices"));
        notifier_->setEnabled(false);
        if (onLost_)
            onLost_();
        return;
    }
    if (changed && onChange_)
        onChange_();
}

} // namespace core::x11
