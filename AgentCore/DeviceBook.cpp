#include "DeviceBook.h"

#include "Log.h"

#include <QSettings>

namespace core {

namespace {
const QString kDevicesKey = QStringLiteral("devices");
} // namespace

void DeviceBook::load()
{
    const QVariant stored = QSettings().value(kDevicesKey);
    if (!stored.isValid())
        return;
    if (auto list = DeviceList::decode(stored.toByteArray()))
        devices_ = std::move(*list);
    else
        log(QStringLiteral("devices: saved list unreadable, starting empty"));
}

void DeviceBook::save()
{
    QSettings settings;
    if (auto bytes = devices_.encoded())
        settings.setValue(kDevicesKey, *bytes);
    else
        settings.remove(kDevicesKey);
    // QSettings writes a new file and renames it over the old one: a full disk or a read-only
    // folder leaves the previous list whole. The list in memory stays as it is and the next change
    // writes it all again.
    settings.sync();
    if (settings.status() != QSettings::NoError)
        log(QStringLiteral("devices: could not save the list to %1, keeping it in memory until the next change")
                .arg(settings.fileName()));
}

void DeviceBook::recordPeer(const QString& remote, const Device::Peer& peer) { peers_.insert_or_assign(remote, peer); }

std::optional<Device::Peer> DeviceBook::peer(const QString& remote) const
{
    const auto it = peers_.find(remote);
    return it == peers_.end() ? std::nullopt : std::optional(it->second);
}

std::optional<Device::State> DeviceBook::stateAt(const QString& remote) const
{
    const auto it = peers_.find(remote);
    return it == peers_.end() ? std::nullopt : devices_.state(it->second.id);
}

void DeviceBook::record(const Device::Peer& peer, const QDateTime& at)
{
    devices_.record(peer.id, peer.name, at);
    save();
}

void DeviceBook::touch(const QString& id, const QDateTime& at)
{
    devices_.touch(id, at);
    save();
}

void DeviceBook::disable(const QString& id)
{
    devices_.disable(id);
    save();
}

void DeviceBook::enable(const QString& id)
{
    devices_.enable(id);
    save();
}

void DeviceBook::remove(const QString& id)
{
    devices_.remove(id);
    save();
}

void DeviceBook::clear(const std::optional<QString>& keeping)
{
    devices_.clear(keeping);
    save();
}

} // namespace core
