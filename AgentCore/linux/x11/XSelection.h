#pragma once

#include "XConnection.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QStringList>

#include <xcb/xcb.h>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QSocketNotifier;

namespace core::x11 {

// One client's side of the CLIPBOARD selection, after ICCCM: a hidden window that requests
// conversions and owns the selection when the agent writes. Lives on the clipboard thread; every
// method runs there. Blocking waits (a conversion, a piece of an INCR transfer) keep serving other
// clients' requests, so reading while owning never deadlocks.
class Selection : public QObject {
public:
    // Null when the display or XFixes is missing (`why` says which).
    static std::unique_ptr<Selection> open(QString* why);
    ~Selection() override;

    // Starts reading events on the current thread; stop() ends that before the thread goes.
    void start();
    void stop();
    // Handles what has arrived, so ownership and the change count are up to date.
    void drain();

    quint64 changes() const { return changes_; }
    QStringList formats();
    std::optional<QByteArray> data(const QString& format);
    // Throws AgentError when the server does not give the selection to the agent.
    void write(const QString& format, const QByteArray& bytes);

private:
    Selection(std::unique_ptr<Connection> x, int xfixesBase);
    xcb_connection_t* c() const { return x_->get(); }
    xcb_atom_t atom(const QString& name);
    QString atomName(xcb_atom_t atom);

    void handle(const xcb_generic_event_t& event);
    void serve(const xcb_selection_request_event_t& request);
    // Puts our content for `target` on the requestor's property; false when we have none.
    bool answer(xcb_window_t requestor, xcb_atom_t property, xcb_atom_t target);
    void continueTransfer(const xcb_property_notify_event_t& notify);

    // The next event that `match` accepts, handling every other one meanwhile; null on time-out.
    using Event = Reply<xcb_generic_event_t>;
    Event waitFor(const std::function<bool(const xcb_generic_event_t&)>& match, int timeoutMs);
    std::optional<QByteArray> convert(xcb_atom_t target);
    // Reads and deletes our transfer property; none when absent or larger than a transfer may be.
    std::optional<QByteArray> takeProperty(xcb_atom_t* type);
    xcb_timestamp_t serverTime();

    std::unique_ptr<Connection> x_;
    int xfixesBase_;
    xcb_window_t window_ = 0;
    std::unique_ptr<QSocketNotifier> notifier_;
    QHash<QString, xcb_atom_t> atoms_;
    QHash<xcb_atom_t, QString> names_;
    quint64 changes_ = 0;
    // Largest piece put on a property at once; bigger content goes by INCR.
    quint32 piece_ = 0;

    // What we serve while we own the selection: (target, bytes), in the order offered.
    std::vector<std::pair<xcb_atom_t, QByteArray>> owned_;
    xcb_timestamp_t ownedSince_ = 0;

    struct Transfer {
        xcb_window_t requestor;
        xcb_atom_t property;
        xcb_atom_t type;
        QByteArray bytes;
        qsizetype sent = 0;
        QElapsedTimer age;
    };
    std::vector<Transfer> transfers_;
};

} // namespace core::x11
