#pragma once

#include <QObject>

#include <functional>
#include <memory>

class QSocketNotifier;

namespace core::x11 {

class Connection;

// Watches the X display for RandR reconfiguration (monitors added, removed, moved or resized,
// outputs and modes changed) and for new X resources (Xft.dpi) on its own connection, read on the
// thread that created it through a socket notifier. `onChange` runs once per batch of events read;
// `onLost` once when the connection breaks (the server died or restarted).
class DisplayWatcher : public QObject {
public:
    // Null when the display cannot be opened or lacks RandR.
    static std::unique_ptr<DisplayWatcher> create(std::function<void()> onChange, std::function<void()> onLost = {});
    ~DisplayWatcher() override;

private:
    DisplayWatcher(std::unique_ptr<Connection> x, std::function<void()> onChange, std::function<void()> onLost);
    void readEvents();

    std::unique_ptr<Connection> x_;
    std::function<void()> onChange_;
    std::function<void()> onLost_;
    std::unique_ptr<QSocketNotifier> notifier_;
    int randrBase_ = -1;
};

} // namespace core::x11
