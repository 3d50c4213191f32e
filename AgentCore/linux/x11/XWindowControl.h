#pragma once

#include "WindowControl.h"

#include <memory>

class QSocketNotifier;

namespace core::x11 {

class Connection;
struct Ewmh;

// The X display's managed windows through EWMH. Queries and requests go over one connection;
// root-window and client property changes are read on a second one, through a socket notifier on
// the main thread, so that a query never swallows the events that announce a change.
class WindowControl : public core::WindowControl {
    Q_OBJECT
public:
    // Null when the display cannot be opened.
    static std::unique_ptr<WindowControl> open();
    ~WindowControl() override;

    std::vector<TopWindow> windows() override;
    std::optional<quint32> activeWindow() override;
    std::optional<IconPixels> icon(quint32 window, int edge) override;
    bool exists(quint32 window) override;
    bool activate(quint32 window) override;
    void iconify(quint32 window) override;
    bool close(quint32 window) override;
    QString launchStarted(const QString& name) override;
    void launchFailed(const QString& id) override;

private:
    WindowControl(std::unique_ptr<Connection> query, std::unique_ptr<Ewmh> ewmh, std::unique_ptr<Connection> watch);
    std::vector<quint32> clients(bool stacking);
    bool supported(quint32 atom);
    bool managed(quint32 window);
    void discardErrors();
    void watchClients();
    void readEvents();
    void broadcast(const QByteArray& message);

    std::unique_ptr<Connection> query_;
    std::unique_ptr<Ewmh> ewmh_;
    std::unique_ptr<Connection> watch_;
    std::unique_ptr<QSocketNotifier> notifier_;
    quint32 sender_ = 0;   // an unmapped window of ours: startup messages come from it
    quint32 lastTime_ = 0; // the server time of the latest event seen
    unsigned launches_ = 0;
    quint32 clientList_ = 0, stackingList_ = 0, activeAtom_ = 0, wmState_ = 0, netWmState_ = 0;
};

} // namespace core::x11
