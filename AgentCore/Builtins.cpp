#include "Builtins.h"

namespace core::Builtins {

const std::vector<Entry>& all()
{
    static const std::vector<Entry> entries = {
        {QStringLiteral("lock"), QStringLiteral("Lock screen")},
        {QStringLiteral("display.sleep"), QStringLiteral("Display sleep")},
        {QStringLiteral("sleep"), QStringLiteral("Sleep")},
        {QStringLiteral("volume.up"), QStringLiteral("Volume up")},
        {QStringLiteral("volume.down"), QStringLiteral("Volume down")},
        {QStringLiteral("volume.mute"), QStringLiteral("Mute")},
        {QStringLiteral("volume.set"), QStringLiteral("Set volume")},
        {QStringLiteral("media.playpause"), QStringLiteral("Play / Pause")},
        {QStringLiteral("media.next"), QStringLiteral("Next track")},
        {QStringLiteral("media.prev"), QStringLiteral("Previous track")},
    };
    return entries;
}

const QStringList& ids()
{
    static const QStringList list = [] {
        QStringList out;
        for (const Entry& e : all())
            out << e.id;
        return out;
    }();
    return list;
}

} // namespace core::Builtins
