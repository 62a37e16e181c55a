#include "app/TrayIconRenderer.h"

#include <QColor>
#include <gtest/gtest.h>

namespace tallyglass::test {
namespace {

TEST(TrayIconRenderer, BadgeOfEachTitle)
{
    const std::vector<std::pair<QString, QString>> cases{
        {QStringLiteral("63% (3:05 PM)"), QStringLiteral("63")},
        {QStringLiteral("100% (2h 13m)"), QStringLiteral("100")},
        {QStringLiteral("0% (0m)"), QStringLiteral("0")},
        {QStringLiteral("63% (3:05 PM) !"), QStringLiteral("!")},
        {QStringLiteral("!"), QStringLiteral("!")},
        {QStringLiteral("…"), QStringLiteral("…")},
        {QStringLiteral("↻"), QStringLiteral("↻")},
        {QStringLiteral("--% (--:--)"), QStringLiteral("--")},
        {QString(), QStringLiteral("--")},
    };
    for (const auto& [title, badge] : cases)
        EXPECT_EQ(TrayIconRenderer::badge(title), badge) << title.toStdString();
}

// Share of pixels that are bright text on the dark tile, and the text's horizontal extent.
struct Ink {
    double lightShare = 0;
    int left = 1 << 30;
    int right = -1;
};

Ink measure(const QImage& image)
{
    Ink ink;
    int light = 0;
    const int margin = image.width() / 8; // the tile's outline is not text
    for (int y = margin; y < image.height() - margin; ++y)
        for (int x = margin; x < image.width() - margin; ++x)
            if (QColor(image.pixel(x, y)).lightness() > 160) {
                ++light;
                ink.left = std::min(ink.left, x);
                ink.right = std::max(ink.right, x);
            }
    ink.lightShare = double(light) / double(image.width() * image.height());
    return ink;
}

TEST(TrayIconRenderer, LegibleAtSmallAndLargeSizes)
{
    for (const int size : {22, 64}) {
        for (const QString& badge : {QStringLiteral("100"), QStringLiteral("7"), QStringLiteral("!"),
                                     QStringLiteral("…"), QStringLiteral("↻"), QStringLiteral("--")}) {
            SCOPED_TRACE(size);
            SCOPED_TRACE(badge.toStdString());
            const QImage image = TrayIconRenderer::render(badge, size);
            ASSERT_EQ(image.size(), QSize(size, size));
            const QColor corner(image.pixelColor(size / 2, 1));
            EXPECT_LT(corner.lightness(), 60) << "dark tile behind the text";
            const Ink ink = measure(image);
            EXPECT_GT(ink.lightShare, 0.01) << "text is drawn";
            EXPECT_LT(ink.lightShare, 0.6) << "text does not flood the tile";
            if (badge == QStringLiteral("100")) {
                EXPECT_GT(ink.right - ink.left, size / 2) << "a three-digit figure uses most of the width";
            }
        }
    }
    EXPECT_FALSE(TrayIconRenderer::icon(QStringLiteral("63")).availableSizes().isEmpty());
}

} // namespace
} // namespace tallyglass::test
