#include "SessionApps.h"

#include "DisplaySource.h"
#include "Log.h"
#include "RequestTable.h"
#include "WindowControl.h"
#include "linux/DesktopEntries.h"

#include <QThreadPool>

#include <signal.h>
#include <unistd.h>

namespace core {

namespace {

QJsonArray withoutIcons(const std::vector<Apps::Running>& apps)
{
    QJsonArray out;
    for (const Apps::Running& app : apps)
        out.append(app.info.toJson()); // icons are filled in later, never here
    return out;
}

QString noApp(qint32 pid)
{
    return QStringLiteral("no app with pid ") + QString::number(pid);
}

} // namespace

SessionApps::SessionApps(RequestTable& requests, WindowControl& windows, DisplaySource& displays,
                         std::function<void(const QByteArray&)> send, std::function<bool()> live)
    : windows_(windows)
    , displays_(displays)
    , send_(std::move(send))
    , live_(std::move(live))
{
    requests.add(QStringLiteral("apps.list"), [this](const Request& r) { send_(Wire::ok(r.id, snapshot(running()))); });
    requests.add(QStringLiteral("apps.installed"), [this](const Request& r) {
        send_(Wire::ok(r.id, Apps::installed(os::DesktopEntries::shown())));
    });
    requests.add(QStringLiteral("app.launch"), [this](const Request& r) {
        const auto error = os::DesktopEntries::launch(r.params<BundleParam>().bundleId, windows_);
        send_(error ? Wire::fail(r.id, *error) : Wire::ok(r.id));
    });
    requests.add(QStringLiteral("app.hide"), [this](const Request& r) {
        hide(r.params<PidParam>().pid);
        send_(Wire::ok(r.id));
    });
    requests.add(QStringLiteral("app.quit"), [this](const Request& r) {
        const auto p = r.params<QuitParam>();
        quit(p.pid, p.force.value_or(false));
        send_(Wire::ok(r.id));
    });
    requests.add(QStringLiteral("app.focus"), [this](const Request& r) {
        focus(r.params<PidParam>().pid);
        send_(Wire::ok(r.id));
    });
    requests.add(QStringLiteral("window.focus"), [this](const Request& r) {
        send_(Wire::ok(r.id, DisplayIdData{focusWindow(r.params<WindowParam>().windowId)}));
    });

    changed_.setSingleShot(true);
    changed_.setInterval(500);
    connect(&windows_, &WindowControl::changed, &changed_, qOverload<>(&QTimer::start));
    connect(&changed_, &QTimer::timeout, this, [this] {
        if (!live_())
            return;
        // The window manager says more than the client cares for (stacking, maximising, the
        // window manager's own start): what leaves no trace in the list is not news.
        const std::vector<Apps::Running> apps = running();
        if (withoutIcons(apps) != told_)
            send_(Wire::event(AppsChanged{snapshot(apps)}));
    });
    // GIO reads every desktop entry on first use; a worker takes that wait so that the first
    // list does not.
    QThreadPool::globalInstance()->start([] { os::DesktopEntries::shown(); });
}

std::vector<Apps::Running> SessionApps::running()
{
    return Apps::running(windows_.windows(), windows_.activeWindow(), os::DesktopEntries::shown(),
                         displays_.current(), qint32(getpid()));
}

std::vector<AppInfo> SessionApps::snapshot(const std::vector<Apps::Running>& apps)
{
    told_ = withoutIcons(apps);
    std::vector<AppInfo> out;
    for (const Apps::Running& app : apps) {
        AppInfo info = app.info;
        if (!sentIcons_.contains(info.bundleId)) {
            sentIcons_.insert(info.bundleId);
            info.icon = icon(app);
        }
        out.push_back(std::move(info));
    }
    return out;
}

QString SessionApps::icon(const Apps::Running& app)
{
    IconCache& cache = windows_.iconCache();
    const QString& key = app.info.bundleId;
    if (const QString* known = cache.find(key))
        return *known;
    QImage image;
    if (const auto pixels = windows_.icon(app.iconWindow, 64))
        image = Apps::toImage(*pixels);
    if (image.isNull() && app.entry)
        image = QImage(os::DesktopEntries::iconFile(app.entry->icon));
    // Nothing is remembered for an application without an icon: one may come with a later window.
    if (image.isNull())
        return {};
    const QString png = Apps::iconPng(image);
    cache.put(key, png);
    return png;
}

Apps::Running SessionApps::app(qint32 pid)
{
    if (pid != qint32(getpid()))
        for (Apps::Running& app : running())
            if (app.info.pid == pid)
                return std::move(app);
    throw AgentError(noApp(pid));
}

void SessionApps::hide(qint32 pid)
{
    for (quint32 w : app(pid).windows)
        windows_.iconify(w);
}

void SessionApps::quit(qint32 pid, bool force)
{
    const Apps::Running a = app(pid);
    const QString refused = a.info.name + QStringLiteral(" refused to quit");
    if (force) {
        if (::kill(pid, SIGKILL) != 0)
            throw AgentError(refused);
        return;
    }
    bool delivered = !a.windows.empty();
    for (quint32 w : a.windows)
        delivered = windows_.close(w) && delivered;
    if (!delivered)
        throw AgentError(refused);
}

void SessionApps::focus(qint32 pid)
{
    const Apps::Running a = app(pid);
    // Back to front, so that every iconified window comes back and the frontmost ends on top.
    bool activated = false;
    for (auto w = a.windows.rbegin(); w != a.windows.rend(); ++w)
        activated = windows_.activate(*w);
    if (!activated)
        throw AgentError(QStringLiteral("focus failed (AX error -1)"));
}

std::optional<quint32> SessionApps::focusWindow(quint32 id)
{
    const QString window = QStringLiteral("window ") + QString::number(id);
    if (!windows_.exists(id))
        throw AgentError(window + QStringLiteral(" is gone"));
    if (!windows_.activate(id))
        throw AgentError(window + QStringLiteral(" not reachable (on another Space?)"));
    const std::vector<DisplayInfo>& displays = displays_.current();
    for (const TopWindow& w : windows_.windows())
        if (w.id == id)
            return Apps::displayOf(Apps::inPoints(w.frame, displays), displays);
    return std::nullopt;
}

} // namespace core
