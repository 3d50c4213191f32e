#pragma once

#include "WindowControl.h"

#include <QString>

#include <utility>
#include <vector>

namespace core::mutter {

// What can be said of running applications where GNOME keeps windows to its shell: each program
// of a shown desktop entry that a process of this user runs stands for its application as one
// untitled window that
// nothing can be done to. Applications are listed, without windows, by the desktop entry their
// program matches; focus and quit fail as for an application whose windows cannot be reached,
// force-quit still ends the process.
class ProcessWindows : public NoWindows {
public:
    // Processes under `procRoot` (a /proc) owned by `uid`.
    explicit ProcessWindows(QString procRoot = QStringLiteral("/proc"), uint uid = uint(-1));

    std::vector<TopWindow> windows() override;

    // (pid, program file name) of each program run by processes owned by `uid`, the lowest pid
    // of those running it, in pid order.
    static std::vector<std::pair<qint32, QString>> programs(const QString& procRoot, uint uid);

protected:
    const QString& procRoot() const { return procRoot_; }
    uint uid() const { return uid_; }

private:
    QString procRoot_;
    uint uid_;
};

} // namespace core::mutter
