#include "Apps.h"

#include <QBuffer>
#include <QCollator>

#include <algorithm>

namespace core::Apps {

namespace {

QString withoutSuffix(const QString& id)
{
    return id.endsWith(QLatin1String(".desktop")) ? id.chopped(8) : id;
}

template <typename T, typename Name> void sortByName(std::vector<T>& items, Name name)
{
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(items.begin(), items.end(),
                     [&](const T& a, const T& b) { return collator.compare(name(a), name(b)) < 0; });
}

bool sameName(const QString& a, const QString& b)
{
    return !a.isEmpty() && a.compare(b, Qt::CaseInsensitive) == 0;
}

} // namespace

const DesktopEntry* match(const TopWindow& window, const std::vector<DesktopEntry>& entries)
{
    const auto find = [&](auto pred) -> const DesktopEntry* {
        const auto it = std::find_if(entries.begin(), entries.end(), pred);
        return it == entries.end() ? nullptr : &*it;
    };
    if (!window.appId.isEmpty())
        if (auto* e = find([&](const DesktopEntry& e) { return withoutSuffix(e.id) == window.appId; }))
            return e;
    for (const QString& cls : {window.wmClass, window.wmInstance}) {
        if (auto* e = find([&](const DesktopEntry& e) { return sameName(e.startupWMClass, cls); }))
            return e;
    }
    for (const QString& cls : {window.wmClass, window.wmInstance}) {
        if (auto* e = find([&](const DesktopEntry& e) { return sameName(withoutSuffix(e.id), cls); }))
            return e;
    }
    if (!window.executable.isEmpty())
        if (auto* e = find([&](const DesktopEntry& e) { return e.executable == window.executable; }))
            return e;
    return nullptr;
}

std::vector<Running> running(const std::vector<TopWindow>& windows, std::optional<quint32> active,
                             const std::vector<DesktopEntry>& entries, const std::vector<DisplayInfo>& displays,
                             qint32 self)
{
    std::vector<Running> apps;
    QHash<qint32, size_t> byPid;
    for (const TopWindow& w : windows) {
        if (w.pid <= 0 || w.pid == self || !w.normal || byPid.contains(w.pid))
            continue;
        byPid.insert(w.pid, apps.size());
        Running app;
        app.info.pid = w.pid;
        app.info.hidden = true;
        apps.push_back(std::move(app));
    }
    for (const TopWindow& w : windows) {
        const auto at = byPid.constFind(w.pid);
        if (at == byPid.cend())
            continue;
        Running& app = apps[*at];
        app.windows.push_back(w.id);
        app.info.hidden = app.info.hidden && w.iconified;
        app.info.active = app.info.active || active == w.id;
        if (!app.entry)
            if (const DesktopEntry* e = match(w, entries))
                app.entry = *e;
        if (app.iconWindow == 0 && w.normal)
            app.iconWindow = w.id;
        if (app.info.name.isEmpty() && !w.wmClass.isEmpty())
            app.info.name = w.wmClass;
        const Geometry::Rect r = inPoints(w.frame, displays);
        if (w.title.isEmpty() || r.width < 50 || r.height < 50)
            continue;
        app.info.windows.push_back({w.id, w.title, r.x, r.y, r.width, r.height, displayOf(r, displays)});
    }
    for (Running& app : apps) {
        if (app.entry) {
            app.info.bundleId = app.entry->id;
            app.info.name = app.entry->name;
        } else {
            app.info.bundleId = QStringLiteral("pid:") + QString::number(app.info.pid);
        }
        if (app.info.name.isEmpty())
            app.info.name = QStringLiteral("?");
    }
    sortByName(apps, [](const Running& a) { return a.info.name; });
    return apps;
}

std::vector<InstalledApp> installed(const std::vector<DesktopEntry>& entries)
{
    std::vector<InstalledApp> out;
    out.reserve(entries.size());
    for (const DesktopEntry& e : entries)
        out.push_back({e.id, e.name});
    sortByName(out, [](const InstalledApp& a) { return a.name; });
    return out;
}

Geometry::Rect inPoints(const Geometry::Rect& pixels, const std::vector<DisplayInfo>& displays)
{
    // X speaks pixels; displays are given in points, all at the one scale of the screen.
    const double scale = displays.empty() || displays.front().scale <= 0 ? 1 : displays.front().scale;
    return {pixels.x / scale, pixels.y / scale, pixels.width / scale, pixels.height / scale};
}

std::optional<quint32> displayOf(const Geometry::Rect& points, const std::vector<DisplayInfo>& displays)
{
    return Geometry::display(Geometry::Point{points.x + points.width / 2, points.y + points.height / 2}, displays);
}

std::optional<IconPixels> pickIcon(const std::vector<quint32>& data, int edge)
{
    size_t best = 0, bestEdge = 0;
    for (size_t at = 0; at + 2 <= data.size();) {
        const uint64_t w = data[at], h = data[at + 1];
        if (w == 0 || h == 0 || w * h > data.size() - at - 2)
            break;
        const size_t e = std::max(w, h);
        const bool better = bestEdge == 0 || (bestEdge < size_t(edge) ? e > bestEdge : (e >= size_t(edge) && e < bestEdge));
        if (better) {
            best = at;
            bestEdge = e;
        }
        at += 2 + w * h;
    }
    if (bestEdge == 0)
        return std::nullopt;
    IconPixels icon;
    icon.width = int(data[best]);
    icon.height = int(data[best + 1]);
    const auto first = data.begin() + long(best + 2);
    icon.argb.assign(first, first + long(size_t(icon.width) * size_t(icon.height)));
    return icon;
}

QImage toImage(const IconPixels& pixels)
{
    if (pixels.width <= 0 || pixels.height <= 0 || pixels.argb.size() < size_t(pixels.width) * size_t(pixels.height))
        return {};
    // _NET_WM_ICON holds non-premultiplied ARGB in host order, which is QImage's ARGB32.
    return QImage(reinterpret_cast<const uchar*>(pixels.argb.data()), pixels.width, pixels.height,
                  pixels.width * 4, QImage::Format_ARGB32)
        .copy();
}

QString iconPng(const QImage& image)
{
    if (image.isNull())
        return {};
    const QImage icon = image.convertToFormat(QImage::Format_ARGB32)
                            .scaled(64, 64, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!icon.save(&buffer, "PNG"))
        return {};
    return QString::fromLatin1(png.toBase64());
}

} // namespace core::Apps
