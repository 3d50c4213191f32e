#include "TrayIcon.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>

namespace ui::TrayIcon {

QImage draw(int size, const QColor& colour)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const double u = size / 100.0;

    QPainterPath arrow;
    arrow.moveTo(38 * u, 22 * u);
    arrow.lineTo(38 * u, 61 * u);
    arrow.lineTo(47 * u, 52.5 * u);
    arrow.lineTo(53.6 * u, 67.5 * u);
    arrow.lineTo(60.4 * u, 64.6 * u);
    arrow.lineTo(53.8 * u, 49.8 * u);
    arrow.lineTo(65.6 * u, 49.8 * u);
    arrow.closeSubpath();
    p.fillPath(arrow, colour);

    p.setPen(QPen(colour, 6 * u, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(18 * u, 76 * u), QPointF(82 * u, 76 * u));
    return image;
}

QIcon make(bool darkPanel, bool greyed)
{
    QColor colour = darkPanel ? QColor(Qt::white) : QColor(Qt::black);
    if (greyed)
        colour.setAlphaF(0.4);
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64})
        icon.addPixmap(QPixmap::fromImage(draw(size, colour)));
    return icon;
}

bool darkPanel()
{
    return QGuiApplication::palette().color(QPalette::Window).lightness() < 128;
}

} // namespace ui::TrayIcon
