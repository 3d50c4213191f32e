#include "ProcessWindows.h"

#include "linux/DesktopEntries.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <unistd.h>

namespace core::mutter {

ProcessWindows::ProcessWindows(QString procRoot, uint uid)
    : procRoot_(std::move(procRoot))
    , uid_(uid == uint(-1) ? uint(::getuid()) : uid)
{
}

std::vector<std::pair<qint32, QString>> ProcessWindows::programs(const QString& procRoot, uint uid)
{
    std::vector<std::pair<qint32, QString>> all;
    for (const QFileInfo& dir : QDir(procRoot).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool number = false;
        const qint32 pid = dir.fileName().toInt(&number);
        if (!number || pid <= 0 || dir.ownerId() != uid)
            continue;
        const QString target = QFileInfo(dir.filePath() + QStringLiteral("/exe")).symLinkTarget();
        if (!target.isEmpty())
            all.emplace_back(pid, QFileInfo(target).fileName());
    }
    std::sort(all.begin(), all.end());
    std::vector<std::pair<qint32, QString>> out;
    QSet<QString> seen;
    for (auto& [pid, program] : all) {
        if (seen.contains(program))
            continue;
        seen.insert(program);
        out.emplace_back(pid, std::move(program));
    }
    return out;
}

std::vector<TopWindow> ProcessWindows::windows()
{
    // Only programs of applications: a shell or a daemon has no entry and is no application.
    QSet<QString> applications;
    for (const Apps::DesktopEntry& e : os::DesktopEntries::shown())
        applications.insert(e.executable);
    std::vector<TopWindow> out;
    for (const auto& [pid, program] : programs(procRoot_, uid_)) {
        if (!applications.contains(program))
            continue;
        TopWindow w;
        // Never the id of a real window, as there are none.
        w.id = quint32(pid);
        w.pid = pid;
        w.executable = program;
        w.normal = true;
        out.push_back(std::move(w));
    }
    return out;
}

} // namespace core::mutter
