#include "app/TrayIconRenderer.h"

#include <QFont>
#include <QFontMetricsF>
#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <algorithm>
#include <array>

namespace tallyglass {
namespace {

constexpr std::array iconSizes{16, 22, 24, 32, 48, 64, 128};

// Draws the badge at the size a tray host asks for, when it asks. A tray shows one
// size; drawing all of them up front kept about 100 kB for each badge shown.
class BadgeIconEngine : public QIconEngine {
public:
    BadgeIconEngine(QString badge, bool marked) : badge_(std::move(badge)), marked_(marked) {}

    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override
    {
        const int side = std::min(size.width(), size.height());
        return {side, side};
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override
    {
        return scaledPixmap(size, mode, state, 1.0);
    }

    QPixmap scaledPixmap(const QSize& size, QIcon::Mode, QIcon::State, qreal scale) override
    {
        const int side = std::max(1, int(std::min(size.width(), size.height()) * scale));
        if (last_.width() != side) // hosts ask for the same size again and again
            last_ = QPixmap::fromImage(TrayIconRenderer::render(badge_, side, marked_));
        QPixmap pixmap = last_;
        pixmap.setDevicePixelRatio(scale);
        return pixmap;
    }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override
    {
        const int side = std::min(rect.width(), rect.height());
        QRect square(0, 0, side, side);
        square.moveCenter(rect.center());
        painter->drawPixmap(square, scaledPixmap(square.size(), mode, state, painter->device()->devicePixelRatio()));
    }

    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override
    {
        QList<QSize> sizes;
        for (const int size : iconSizes)
            sizes.append(QSize(size, size));
        return sizes;
    }

    bool isNull() override { return false; }
    QString key() const override { return QStringLiteral("tallyglass-badge"); }
    QIconEngine* clone() const override { return new BadgeIconEngine(*this); }

private:
    QString badge_;
    bool marked_;
    QPixmap last_;
};

} // namespace

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
    return QIcon(new BadgeIconEngine(badge, marked));
}

} // namespace tallyglass
