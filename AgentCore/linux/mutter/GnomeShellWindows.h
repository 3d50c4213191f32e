#pragma once

#include "ProcessWindows.h"

#include <QDBusConnection>

#include <optional>

namespace core::mutter {

// Windows as GNOME Shell shows them through org.gnome.Shell.Introspect, where it answers: each
// window of a running application with its title, size (no position: the shell tells none),
// focus and hidden state, tied to the process running its desktop entry's program. GNOME Shell
// answers only callers on its allow list: a refusal, or no answer in time, leaves the
// applications listed by their processes without windows (ProcessWindows), and the shell is not
// asked again. Nothing can be done to a window either way: the shell offers no such calls.
// Main thread.
class GnomeShellWindows : public ProcessWindows {
    Q_OBJECT
public:
    // The longest the shell may take to answer before it counts as not answering.
    static constexpr int kAnswerLimitMs = 1000;

    explicit GnomeShellWindows(QDBusConnection bus, QString procRoot = QStringLiteral("/proc"), uint uid = uint(-1));

    std::vector<TopWindow> windows() override;
    // The focused window of the last list.
    std::optional<quint32> activeWindow() override { return focused_; }

private slots:
    void windowsChanged();

private:
    // None when the shell does not answer.
    std::optional<std::vector<TopWindow>> introspect();

    QDBusConnection bus_;
    bool refused_ = false;
    std::optional<quint32> focused_;
};

} // namespace core::mutter
