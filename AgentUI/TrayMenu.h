#pragma once

#include "AgentStatus.h"
#include "Confirm.h"

#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>

#include <functional>
#include <memory>

namespace ui {

// The status menu in the system tray: a menu rebuilt whole from the menu model on every status
// change and at every local midnight (day counts change then), never edited in place.
// All methods run on the main thread.
class TrayMenu : public QObject {
    Q_OBJECT
public:
    // What the menu's items do; supplied by the application entry.
    struct Commands {
        std::function<void(const QString& id)> enable;
        std::function<void(const QString& id)> disable;
        std::function<void(const QString& id)> remove;
        std::function<void()> unpair; // already confirmed
        std::function<void()> openPairing;
        std::function<void()> quit;
    };

    TrayMenu(Commands commands, Ask ask, QObject* parent = nullptr);
    ~TrayMenu() override;

    // Takes the agent's new status and rebuilds the menu.
    void update(const core::AgentStatus& status);
    void rebuild();

    QMenu* menu() const { return menu_.get(); }
    QSystemTrayIcon& tray() { return tray_; }
    // Whether the icon is drawn faded (Tailscale off).
    bool greyed() const { return greyed_; }

    // Asks, then unpairs and runs `then`; nothing when not paired. Shared with the pairing window.
    static void confirmUnpair(const std::optional<core::Linked>& link, const Ask& ask,
                              const std::function<void()>& unpair, const std::function<void()>& then);

private:
    void run(const QString& name);
    void toggleDevice(const QString& id);
    void confirmRemove(const QString& id);
    void armMidnight();

    Commands commands_;
    Ask ask_;
    core::AgentStatus status_;
    QSystemTrayIcon tray_;
    std::unique_ptr<QMenu> menu_;
    QTimer midnight_;
    bool greyed_ = true;
};

} // namespace ui
