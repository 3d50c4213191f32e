#pragma once

#include <QHash>
#include <QString>

namespace core {

// Application icons by key (bundle id, or "pid:" + pid) as base64 PNG. Entries are never
// removed: an icon is rendered once per key for the life of the process. Main thread.
class IconCache {
public:
    const QString* find(const QString& key) const
    {
        const auto it = icons_.constFind(key);
        return it == icons_.cend() ? nullptr : &*it;
    }
    void put(const QString& key, const QString& png) { icons_.insert(key, png); }

private:
    QHash<QString, QString> icons_;
};

} // namespace core
