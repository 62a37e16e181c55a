#include "app/TrayIconRenderer.h"

#include <QFont>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <array>

namespace tallyglass {

QImage TrayIconRenderer::render(const QString& badge, int size, bool marked)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);

    // Near-black tile with white text: readable on light and dark panels alike. A marked
    // badge turns the tile amber with black text, a change seen at any size and without
    // telling colours apart, and leaves the figure as large as before.
    const QRectF tile(0.5, 0.5, size - 1.0, size - 1.0);
    QPainterPath path;
    path.addRoundedRect(tile, size * 0.18, size * 0.18);
    painter.fillPath(path, marked ? QColor(0xff, 0xb0, 0x20) : QColor(0x1c, 0x1c, 0x1e));
    painter.setPen(QPen(marked ? QColor(0, 0, 0, 0xa0) : QColor(0xff, 0xff, 0xff, 0x60), 1.0));
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
    painter.setPen(marked ? Qt::black : Qt::white);
    const QRectF bounds = QFontMetricsF(font).tightBoundingRect(badge);
    const QPointF origin((size - bounds.width()) / 2.0 - bounds.left(), (size - bounds.height()) / 2.0 - bounds.top());
    painter.drawText(origin, badge);
    painter.end();
    return image;
}

QIcon TrayIconRenderer::icon(const QString& badge, bool marked)
{
    QIcon icon;
    for (const int size : std::array{16, 22, 24, 32, 48, 64, 128})
        icon.addPixmap(QPixmap::fromImage(render(badge, size, marked)));
    return icon;
}

} // namespace tallyglass
