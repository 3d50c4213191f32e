// GIO names struct members `signals`, which Qt defines as a macro: GIO goes first.
#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

#include "DesktopEntries.h"

#include "FreeWith.h"
#include "WindowControl.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <memory>
#include <mutex>

namespace core::os::DesktopEntries {

namespace {

template <typename T> using GObjectPtr = std::unique_ptr<T, FreeWith<g_object_unref>>;
using GErrorPtr = std::unique_ptr<GError, FreeWith<g_error_free>>;

struct AppInfoList {
    GList* list;
    ~AppInfoList() { g_list_free_full(list, g_object_unref); }
};

QString text(const char* s)
{
    return s ? QString::fromUtf8(s) : QString();
}

QString iconName(GAppInfo* info)
{
    GIcon* icon = g_app_info_get_icon(info); // borrowed
    if (!icon)
        return {};
    if (G_IS_THEMED_ICON(icon)) {
        const gchar* const* names = g_themed_icon_get_names(G_THEMED_ICON(icon));
        return names && names[0] ? text(names[0]) : QString();
    }
    if (G_IS_FILE_ICON(icon)) {
        std::unique_ptr<char, FreeWith<g_free>> path(g_file_get_path(g_file_icon_get_file(G_FILE_ICON(icon))));
        return text(path.get());
    }
    return {};
}

// A launch context that hands each launched program a startup notification id, so the window
// manager can tie its first window to this launch (and give it the focus).
struct AgentLaunchContext {
    GAppLaunchContext parent;
};
struct AgentLaunchContextClass {
    GAppLaunchContextClass parent;
};

constexpr char kStartupId[] = "remote-agent-startup-id";

// GIO asks for an id only for entries with StartupNotify=true, and passes it on as
// DESKTOP_STARTUP_ID.
char* startupNotifyId(GAppLaunchContext* context, GAppInfo*, GList*)
{
    const auto* id = static_cast<const char*>(g_object_get_data(G_OBJECT(context), kStartupId));
    return id ? g_strdup(id) : nullptr;
}

void reap(GPid pid, gint, gpointer)
{
    g_spawn_close_pid(pid);
}

void childStarted(GDesktopAppInfo*, GPid pid, gpointer)
{
    g_child_watch_add(pid, reap, nullptr);
}

} // namespace

extern "C" {
static void agent_launch_context_init(AgentLaunchContext*) { }
static void agent_launch_context_class_init(AgentLaunchContextClass* k)
{
    G_APP_LAUNCH_CONTEXT_CLASS(k)->get_startup_notify_id = startupNotifyId;
}
G_DEFINE_TYPE(AgentLaunchContext, agent_launch_context, G_TYPE_APP_LAUNCH_CONTEXT)
}

namespace {

// The entry as shown, or none when it is hidden from menus. `id` overrides GIO's, which entries not
// read from a directory lack.
std::optional<Apps::DesktopEntry> shownEntry(GDesktopAppInfo* d, const QString& id = {})
{
    auto* info = G_APP_INFO(d);
    if (g_desktop_app_info_get_is_hidden(d) || g_desktop_app_info_get_nodisplay(d))
        return std::nullopt;
    return Apps::DesktopEntry{id.isEmpty() ? text(g_app_info_get_id(info)) : id, text(g_app_info_get_name(info)),
                              text(g_desktop_app_info_get_startup_wm_class(d)),
                              QFileInfo(text(g_app_info_get_executable(info))).fileName(), iconName(info)};
}

std::vector<Apps::DesktopEntry> readShown()
{
    std::vector<Apps::DesktopEntry> out;
    const AppInfoList all{g_app_info_get_all()};
    for (GList* l = all.list; l; l = l->next)
        if (G_IS_DESKTOP_APP_INFO(l->data))
            if (auto entry = shownEntry(G_DESKTOP_APP_INFO(l->data)))
                out.push_back(std::move(*entry));
    return out;
}

// The directories GIO reads, with their modification times: adding, removing or renaming an
// entry changes them.
QList<QDateTime> directoryStamps()
{
    QStringList dirs{QString::fromUtf8(g_get_user_data_dir())};
    for (const gchar* const* d = g_get_system_data_dirs(); d && *d; ++d)
        dirs << QString::fromUtf8(*d);
    QList<QDateTime> stamps;
    for (const QString& d : dirs)
        stamps << QFileInfo(QDir(d).filePath(QStringLiteral("applications"))).lastModified();
    return stamps;
}

} // namespace

std::vector<Apps::DesktopEntry> shown()
{
    // GIO parses every entry again on each listing; the parsed list is kept until a directory
    // changes.
    static std::mutex mutex;
    static QList<QDateTime> stamps;
    static std::vector<Apps::DesktopEntry> entries;
    static bool read = false;
    const std::lock_guard lock(mutex);
    QList<QDateTime> now = directoryStamps();
    if (!read || now != stamps) {
        entries = readShown();
        stamps = std::move(now);
        read = true;
    }
    return entries;
}

std::optional<Apps::DesktopEntry> fromText(const QByteArray& entry, const QString& id)
{
    using KeyFilePtr = std::unique_ptr<GKeyFile, FreeWith<g_key_file_unref>>;
    const KeyFilePtr keys(g_key_file_new());
    GError* raw = nullptr;
    const bool loaded = g_key_file_load_from_data(keys.get(), entry.constData(), gsize(entry.size()), G_KEY_FILE_NONE, &raw);
    const GErrorPtr error(raw);
    if (!loaded)
        return std::nullopt;
    const GObjectPtr<GDesktopAppInfo> app(g_desktop_app_info_new_from_keyfile(keys.get()));
    if (!app)
        return std::nullopt;
    return shownEntry(app.get(), id);
}

QString iconFile(const QString& icon)
{
    if (icon.isEmpty() || icon.contains(QLatin1String("..")))
        return {};
    if (icon.startsWith(QLatin1Char('/')))
        return QFileInfo::exists(icon) ? icon : QString();
    QStringList dirs{QString::fromUtf8(g_get_user_data_dir())};
    for (const gchar* const* d = g_get_system_data_dirs(); d && *d; ++d)
        dirs << QString::fromUtf8(*d);
    const QString file = QFileInfo(icon).fileName() + QStringLiteral(".png");
    for (const char* size : {"64x64", "128x128", "256x256", "512x512", "96x96", "48x48", "32x32"})
        for (const QString& d : dirs) {
            const QString path = QStringLiteral("%1/icons/hicolor/%2/apps/%3").arg(d, QLatin1String(size), file);
            if (QFileInfo::exists(path))
                return path;
        }
    const QString pixmap = QStringLiteral("/usr/share/pixmaps/") + file;
    return QFileInfo::exists(pixmap) ? pixmap : QString();
}

std::optional<QString> launch(const QString& id, WindowControl& windows)
{
    const QByteArray utf8 = id.toUtf8();
    GObjectPtr<GDesktopAppInfo> app(id.isEmpty() ? nullptr : g_desktop_app_info_new(utf8.constData()));
    if (!app)
        return QStringLiteral("not installed: ") + id;
    GObjectPtr<GAppLaunchContext> context(
        G_APP_LAUNCH_CONTEXT(g_object_new(agent_launch_context_get_type(), nullptr)));
    QString startupId;
    if (g_desktop_app_info_get_boolean(app.get(), G_KEY_FILE_DESKTOP_KEY_STARTUP_NOTIFY))
        startupId = windows.launchStarted(text(g_app_info_get_name(G_APP_INFO(app.get()))));
    if (!startupId.isEmpty())
        g_object_set_data_full(G_OBJECT(context.get()), kStartupId, g_strdup(startupId.toUtf8().constData()), g_free);
    GError* raw = nullptr;
    // Not reaped by GLib unless asked: a child watch collects it when it exits.
    const bool ok = g_desktop_app_info_launch_uris_as_manager(
        app.get(), nullptr, context.get(), GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD), nullptr,
        nullptr, childStarted, nullptr, &raw);
    const GErrorPtr error(raw);
    if (!ok && !startupId.isEmpty())
        // The window manager would wait for a window that never comes.
        windows.launchFailed(startupId);
    if (!ok)
        return error ? QString::fromUtf8(error->message) : QStringLiteral("launch failed: ") + id;
    return std::nullopt;
}

} // namespace core::os::DesktopEntries
