#pragma once

#include <QJsonObject>
#include <QString>

// What the desktop is made of, as clients see it: the displays and what the agent may do with them.
// Shared by the wire protocol, geometry, capture and the desktop backends.
namespace core {

struct Permissions {
    bool screen = false;
    bool accessibility = false;
    QJsonObject toJson() const;
    // Permissions(screen: true, accessibility: false)
    QString text() const;
    friend bool operator==(const Permissions&, const Permissions&) = default;
};

struct DisplayInfo {
    quint32 id = 0;
    QString name;
    double width = 0;
    double height = 0;
    double scale = 1;
    bool isMain = false;
    double x = 0;
    double y = 0;
    QJsonObject toJson() const;
    friend bool operator==(const DisplayInfo&, const DisplayInfo&) = default;
};

} // namespace core
