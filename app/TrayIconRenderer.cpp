#include "app/TrayIconRenderer.h"

#include <QFont>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <array>

namespace tallyglass {

QImage TrayIconRenderer::render(const QString& badge, int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);

    // Near-black tile with white text: readable on light and dark panels alike.
    const QRectF tile(0.5, 0.5, size - 1.0, size - 1.0);
    QPainterPath path;
    path.addRoundedRect(tile, size * 0.18, size * 0.18);
    painter.fillPath(path, QColor(0x1c, 0x1c, 0x1e));
    painter.setPen(QPen(QColor(0xff, 0xff, 0xff, 0x60), 1.0));
    painter.drawPath(path);

    QFont font;
    font.setBold(true);
    font.setStyleStrategy(QFont::PreferAntialias);
    const qreal room = size - 2.0 * qMax(1.0, size * 0.06);
    qreal pixels = size * 0.72;
    // Shrink until the text fits the tile's width and height.
    for (;;) {
        font.setPixelSize(qMax(1, int(pixels)));
        const QRectF bounds = QFontMetricsF(font).tightBoundingRect(badge);
        if ((bounds.width() <= room && bounds.height() <= room) || pixels <= 6)
            break;
        pixels -= qMax(1.0, pixels * 0.06);
    }
    painter.setFont(font);
    painter.setPen(Qt::white);
    const QRectF bounds = QFontMetricsF(font).tightBoundingRect(badge);
    const QPointF origin((size - bounds.width()) / 2.0 - bounds.left(), (size - bounds.height()) / 2.0 - bounds.top());
    painter.drawText(origin, badge);
    painter.end();
    return image;
}

QIcon TrayIconRenderer::icon(const QString& badge)
{
    QIcon icon;
    for (const int size : std::array{16, 22, 24, 32, 48, 64, 128})
        icon.addPixmap(QPixmap::fromImage(render(badge, size)));
    return icon;
}

} // namespace tallyglass
