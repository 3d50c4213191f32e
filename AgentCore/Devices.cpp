#include "Devices.h"

#include "Json.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>

#include <algorithm>
#include <cmath>

namespace core {

namespace {

const QDateTime kReferenceDate(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);

} // namespace

double referenceSeconds(const QDateTime& date)
{
    return static_cast<double>(kReferenceDate.msecsTo(date)) / 1000.0;
}

QDateTime fromReferenceSeconds(double seconds)
{
    return kReferenceDate.addMSecs(static_cast<qint64>(std::llround(seconds * 1000.0)));
}

QString Device::stateName(State s)
{
    switch (s) {
    case State::active:
        return QStringLiteral("active");
    case State::disabled:
        return QStringLiteral("disabled");
    case State::removed:
        return QStringLiteral("removed");
    }
    return {};
}

std::optional<Device::State> Device::stateFrom(const QString& name)
{
    for (State s : {State::active, State::disabled, State::removed}) {
        if (stateName(s) == name)
            return s;
    }
    return std::nullopt;
}

std::optional<Device::Peer> Device::peer(const std::optional<Whois>& whois, const QString& remote)
{
    if (!whois)
        return std::nullopt;
    Peer p;
    p.id = whois->stableID ? *whois->stableID : QString::number(whois->nodeID);
    p.name = remote;
    if (whois->dnsName) {
        const QStringList labels = whois->dnsName->split(QLatin1Char('.'), Qt::SkipEmptyParts);
        if (!labels.isEmpty())
            p.name = labels.first();
    }
    return p;
}

std::optional<DeviceList> DeviceList::decode(const QByteArray& bytes)
{
    try {
        const json::Reader root(json::parseObject(bytes));
        const auto list = root.optArray("all");
        if (!list)
            return std::nullopt;
        DeviceList out;
        for (qsizetype i = 0; i < list->size(); ++i) {
            const json::Reader d = root.element(*list, i, "all");
            const auto state = Device::stateFrom(d.string("state"));
            const double seen = d.number("lastSeen");
            if (!state || !std::isfinite(seen))
                return std::nullopt;
            out.all.push_back({d.string("id"), d.string("name"), fromReferenceSeconds(seen), *state});
        }
        return out;
    } catch (const json::DecodeError&) {
        return std::nullopt;
    }
}

std::optional<QByteArray> DeviceList::encoded() const
{
    QJsonArray list;
    for (const Device& d : all) {
        list.append(QJsonObject{{QStringLiteral("id"), d.id},
                                {QStringLiteral("name"), d.name},
                                {QStringLiteral("lastSeen"), referenceSeconds(d.lastSeen)},
                                {QStringLiteral("state"), Device::stateName(d.state)}});
    }
    return QJsonDocument(QJsonObject{{QStringLiteral("all"), list}}).toJson(QJsonDocument::Compact);
}

std::vector<Device> DeviceList::visible() const
{
    std::vector<Device> out;
    std::copy_if(all.begin(), all.end(), std::back_inserter(out),
                 [](const Device& d) { return d.state != Device::State::removed; });
    std::stable_sort(out.begin(), out.end(), [](const Device& a, const Device& b) { return a.lastSeen > b.lastSeen; });
    return out;
}

Device* DeviceList::find(const QString& id)
{
    auto it = std::find_if(all.begin(), all.end(), [&](const Device& d) { return d.id == id; });
    return it == all.end() ? nullptr : &*it;
}

std::optional<Device::State> DeviceList::state(const QString& id) const
{
    auto it = std::find_if(all.begin(), all.end(), [&](const Device& d) { return d.id == id; });
    if (it == all.end())
        return std::nullopt;
    return it->state;
}

void DeviceList::record(const QString& id, const QString& name, const QDateTime& at)
{
    if (Device* d = find(id)) {
        d->name = name;
        d->lastSeen = at;
        if (d->state == Device::State::removed)
            d->state = Device::State::active;
        return;
    }
    all.push_back({id, name, at, Device::State::active});
}

void DeviceList::touch(const QString& id, const QDateTime& at)
{
    if (Device* d = find(id))
        d->lastSeen = at;
}

void DeviceList::disable(const QString& id)
{
    if (Device* d = find(id))
        d->state = Device::State::disabled;
}

void DeviceList::enable(const QString& id)
{
    if (Device* d = find(id))
        d->state = Device::State::active;
}

void DeviceList::remove(const QString& id)
{
    if (Device* d = find(id))
        d->state = Device::State::removed;
}

void DeviceList::clear(const std::optional<QString>& keeping)
{
    std::erase_if(all, [&](const Device& d) { return !keeping || d.id != *keeping; });
}

} // namespace core
