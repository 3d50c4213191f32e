#include "Display.h"

namespace core {

QJsonObject Permissions::toJson() const
{
    return {{QStringLiteral("screen"), screen}, {QStringLiteral("accessibility"), accessibility}};
}

QString Permissions::text() const
{
    const auto b = [](bool v) { return v ? QStringLiteral("true") : QStringLiteral("false"); };
    return QStringLiteral("Permissions(screen: %1, accessibility: %2)").arg(b(screen), b(accessibility));
}

QJsonObject DisplayInfo::toJson() const
{
    return {{QStringLiteral("id"), QJsonValue(qint64(id))},
            {QStringLiteral("name"), name},
            {QStringLiteral("width"), width},
            {QStringLiteral("height"), height},
            {QStringLiteral("scale"), scale},
            {QStringLiteral("isMain"), isMain},
            {QStringLiteral("x"), x},
            {QStringLiteral("y"), y}};
}

} // namespace core
