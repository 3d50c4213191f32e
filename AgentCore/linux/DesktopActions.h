#pragma once

#include "SystemActions.h"
#include "linux/ShellRunner.h"

#include <QObject>

#include <functional>
#include <memory>

namespace core {
class InputInjector;
}

namespace core::os {

// The built-ins on a Linux desktop: lock and suspend through logind on the system bus, volume and
// media keys as XF86 keysyms typed through the desktop's input, the volume level through the sound
// server's own tool (wpctl, else pactl), display sleep through what the backend supplies; custom
// commands through a ShellRunner. Nothing here blocks the main thread.
class DesktopActions : public QObject, public SystemActions {
    Q_OBJECT
public:
    // `openInput` gives a fresh input channel (or none); `sleepDisplays` turns the monitors off.
    DesktopActions(std::function<std::unique_ptr<InputInjector>()> openInput, std::function<void()> sleepDisplays);
    ~DesktopActions() override;

    void perform(const QString& id, std::optional<qint64> value) override;
    void runShell(const QString& command, std::chrono::milliseconds timeout, qsizetype tail, ShellDone done) override;

private:
    // `otherwise` runs when logind refuses or is absent.
    void callLogind(const QString& method, const QVariantList& args, std::function<void()> otherwise);
    // Runs a short system program by absolute path, its status only logged when it fails.
    void runProgram(const QStringList& argv);

    std::function<std::unique_ptr<InputInjector>()> openInput_;
    std::function<void()> sleepDisplays_;
    ShellRunner shell_;
};

} // namespace core::os
