#include "MutterMonitors.h"

#include "MutterBus.h"
#include "linux/x11/XMonitors.h"

#include <QDBusArgument>

#include <cmath>

namespace core::mutter {

namespace {

// DisplayConfig's layout modes: positions in logical pixels (size / scale) or in device pixels.
constexpr uint kLayoutLogical = 1;

struct Mode {
    int width = 0;
    int height = 0;
};

struct Physical {
    QString connector;
    QString displayName;
    Mode current;
};

QString readSpec(const QDBusArgument& arg)
{
    QString connector, vendor, product, serial;
    arg.beginStructure();
    arg >> connector >> vendor >> product >> serial;
    arg.endStructure();
    return connector;
}

// a((ssss)a(siiddada{sv})a{sv})
std::vector<Physical> readPhysical(const QDBusArgument& arg)
{
    std::vector<Physical> monitors;
    arg.beginArray();
    while (!arg.atEnd()) {
        Physical m;
        arg.beginStructure();
        m.connector = readSpec(arg);
        arg.beginArray();
        while (!arg.atEnd()) {
            QString id;
            int width = 0, height = 0;
            double refresh = 0, preferredScale = 0;
            QList<double> scales;
            QVariantMap properties;
            arg.beginStructure();
            arg >> id >> width >> height >> refresh >> preferredScale >> scales >> properties;
            arg.endStructure();
            if (properties.value(QStringLiteral("is-current")).toBool())
                m.current = {width, height};
        }
        arg.endArray();
        QVariantMap properties;
        arg >> properties;
        arg.endStructure();
        m.displayName = properties.value(QStringLiteral("display-name")).toString();
        monitors.push_back(m);
    }
    arg.endArray();
    return monitors;
}

} // namespace

quint32 connectorId(const QString& connector)
{
    // FNV-1a: a fixed function of the name, unlike a hash seeded per process.
    quint32 hash = 2166136261u;
    for (const char c : connector.toUtf8()) {
        hash ^= quint8(c);
        hash *= 16777619u;
    }
    return hash == 0 ? 1 : hash;
}

std::vector<Monitor> monitorsOfState(const QDBusMessage& reply)
{
    const QVariantList args = reply.arguments();
    if (reply.type() != QDBusMessage::ReplyMessage || reply.signature() != QLatin1String("ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv}"))
        return {};
    const std::vector<Physical> physical = readPhysical(qvariant_cast<QDBusArgument>(args.at(1)));
    QVariantMap properties;
    qvariant_cast<QDBusArgument>(args.at(3)) >> properties;
    const bool logical = properties.value(QStringLiteral("layout-mode"), 2u).toUInt() == kLayoutLogical;

    std::vector<DisplayInfo> displays;
    std::vector<QString> connectors;
    const QDBusArgument arg = qvariant_cast<QDBusArgument>(args.at(2));
    arg.beginArray();
    while (!arg.atEnd()) {
        int x = 0, y = 0;
        double scale = 1;
        uint transform = 0;
        bool primary = false;
        QStringList shown;
        arg.beginStructure();
        arg >> x >> y >> scale >> transform >> primary;
        arg.beginArray();
        while (!arg.atEnd())
            shown << readSpec(arg);
        arg.endArray();
        QVariantMap ignored;
        arg >> ignored;
        arg.endStructure();
        if (shown.isEmpty())
            continue;
        const auto it = std::find_if(physical.begin(), physical.end(),
                                     [&](const Physical& p) { return p.connector == shown.front(); });
        if (it == physical.end() || it->current.width <= 0)
            continue;
        DisplayInfo d;
        d.id = connectorId(it->connector);
        d.name = it->displayName.isEmpty() ? it->connector : it->displayName;
        d.scale = scale > 0 ? scale : 1;
        const bool turned = transform % 2 == 1;
        d.width = turned ? it->current.height : it->current.width;
        d.height = turned ? it->current.width : it->current.height;
        d.x = logical ? std::round(x * d.scale) : x;
        d.y = logical ? std::round(y * d.scale) : y;
        d.isMain = primary;
        displays.push_back(d);
        connectors.push_back(it->connector);
    }
    arg.endArray();

    displays = x11::withOneMain(std::move(displays));
    std::vector<Monitor> monitors;
    for (size_t i = 0; i < displays.size(); ++i)
        monitors.push_back({displays[i], connectors[i]});
    return monitors;
}

std::vector<Monitor> readMonitors(const QDBusConnection& bus)
{
    return monitorsOfState(call(bus, kDisplayConfig, kDisplayConfigPath, kDisplayConfig, QStringLiteral("GetCurrentState")));
}

} // namespace core::mutter
