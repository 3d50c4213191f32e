#pragma once

#include <QString>
#include <QStringList>

#include <vector>

// The built-in actions: ids and names in menu order.
namespace core::Builtins {

struct Entry {
    QString id;
    QString name;
};

const std::vector<Entry>& all();
const QStringList& ids();

} // namespace core::Builtins
