#include "GnomeShellWindows.h"

#include "Log.h"
#include "linux/DesktopEntries.h"

#include <QDBusArgument>
#include <QDBusMessage>

#include <algorithm>

namespace core::mutter {

namespace {

const QString kIntrospect = QStringLiteral("org.gnome.Shell.Introspect");
const QString kIntrospectPath = QStringLiteral("/org/gnome/Shell/Introspect");
const QString kServiceUnknown = QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown");

using ShellWindows = QMap<quint64, QVariantMap>;

QString withoutDesktopSuffix(QString id)
{
    if (id.endsWith(QStringLiteral(".desktop")))
        id.chop(8);
    return id;
}

} // namespace

GnomeShellWindows::GnomeShellWindows(QDBusConnection bus, QString procRoot, uint uid)
    : ProcessWindows(std::move(procRoot), uid)
    , bus_(std::move(bus))
{
    bus_.connect(kIntrospect, kIntrospectPath, kIntrospect, QStringLiteral("WindowsChanged"), this, SLOT(windowsChanged()));
}

void GnomeShellWindows::windowsChanged() { emit changed(); }

std::vector<TopWindow> GnomeShellWindows::windows()
{
    focused_.reset();
    if (std::optional<std::vector<TopWindow>> shown = introspect())
        return std::move(*shown);
    return ProcessWindows::windows();
}

std::optional<std::vector<TopWindow>> GnomeShellWindows::introspect()
{
    if (refused_ || !bus_.isConnected())
        return std::nullopt;
    const QDBusMessage reply = bus_.call(QDBusMessage::createMethodCall(kIntrospect, kIntrospectPath, kIntrospect,
                                                                       QStringLiteral("GetWindows")),
                                         QDBus::Block, kAnswerLimitMs);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        // No shell at all costs nothing to ask again; one that refuses or hangs would every time.
        if (reply.errorName() != kServiceUnknown) {
            refused_ = true;
            log(QStringLiteral("apps: GNOME Shell shows no windows to the agent (%1); applications are listed without them")
                    .arg(reply.errorName()));
        }
        return std::nullopt;
    }
    if (reply.signature() != QStringLiteral("a{ta{sv}}") || reply.arguments().isEmpty()) {
        refused_ = true;
        log(QStringLiteral("apps: GNOME Shell's window list has an unknown form (%1); applications are listed without windows")
                .arg(reply.signature()));
        return std::nullopt;
    }
    ShellWindows shown;
    reply.arguments().constFirst().value<QDBusArgument>() >> shown;

    const std::vector<Apps::DesktopEntry> entries = os::DesktopEntries::shown();
    const std::vector<std::pair<qint32, QString>> running = programs(procRoot(), uid());
    std::vector<TopWindow> out;
    for (auto it = shown.cbegin(); it != shown.cend(); ++it) {
        const QVariantMap& p = it.value();
        const QString appId = p.value(QStringLiteral("app-id")).toString();
        const auto entry = std::find_if(entries.begin(), entries.end(), [&](const Apps::DesktopEntry& e) { return e.id == appId; });
        if (entry == entries.end())
            continue;
        // The shell names no process: the application's is the one running its entry's program.
        const auto process = std::find_if(running.begin(), running.end(), [&](const auto& r) { return r.second == entry->executable; });
        if (process == running.end())
            continue;
        TopWindow w;
        // Shell window ids are 64-bit; both halves count, so that ids stay apart.
        w.id = quint32(it.key() ^ (it.key() >> 32));
        w.pid = process->first;
        w.appId = withoutDesktopSuffix(appId);
        w.executable = entry->executable;
        w.title = p.value(QStringLiteral("title")).toString();
        w.frame = {0, 0, p.value(QStringLiteral("width")).toDouble(), p.value(QStringLiteral("height")).toDouble()};
        w.normal = true;
        w.iconified = p.value(QStringLiteral("is-hidden")).toBool();
        if (p.value(QStringLiteral("has-focus")).toBool()) {
            focused_ = w.id;
            out.insert(out.begin(), std::move(w));
        } else {
            out.push_back(std::move(w));
        }
    }
    return out;
}

} // namespace core::mutter
