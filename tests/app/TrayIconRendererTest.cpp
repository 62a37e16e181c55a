#include "texts/StatusTexts.h"
#include "app/TrayIconRenderer.h"
#include "app/TrayStatusItem.h"

#include <QColor>
#include <gtest/gtest.h>

namespace tallyglass::test {
namespace {

// The badge comes with the title from the same values; each title keeps its figure.
TEST(TrayIconRenderer, BadgeOfEachTitle)
{
    constexpr double now = 1'800'000'000; // 8:00 AM UTC
    const TimeContext utc{now, QTimeZone::utc()};
    const auto fiveHour = [&](std::int64_t used, double resetsAt) {
        return UsageSnapshot{UsageWindow{used, 300, resetsAt}, std::nullopt, now};
    };
    const QString status = QStringLiteral("연결 끊김");
    using enum TimeDisplayMode;
    struct Row {
        StatusTexts texts;
        const char* title;
        const char* badge;
        bool marked = false;
    };
    const Row rows[] = {
        {StatusTexts::make(fiveHour(37, now + 7 * 3600 + 300), std::nullopt, resetAt, utc), "63% (3:05 PM)", "63"},
        {StatusTexts::make(fiveHour(0, now + 2 * 3600 + 13 * 60), std::nullopt, remaining, utc), "100% (2h 13m)",
         "100"},
        {StatusTexts::make(fiveHour(100, now - 90), std::nullopt, remaining, utc), "0% (0m)", "0"},
        {StatusTexts::make(fiveHour(37, now + 7 * 3600 + 300), status, resetAt, utc), "63% (3:05 PM) !", "63", true},
        {StatusTexts::make(std::nullopt, status, resetAt, utc), "!", "!"},
        {StatusTexts::launching(), "…", "…"},
        {StatusTexts::refreshing(status), "↻", "↻"},
        {StatusTexts::make(std::nullopt, std::nullopt, resetAt, utc), "--% (--:--)", "--"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.title);
        EXPECT_EQ(row.texts.title, QString::fromUtf8(row.title));
        EXPECT_EQ(row.texts.badge, QString::fromUtf8(row.badge));
        EXPECT_EQ(row.texts.marked, row.marked);
    }
    EXPECT_EQ(TrayStatusItem().badge(), QStringLiteral("--")) << "an item that has shown nothing yet";
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
    const QIcon icon = TrayIconRenderer::icon(QStringLiteral("63"), true);
    EXPECT_FALSE(icon.availableSizes().isEmpty());
    EXPECT_EQ(icon.pixmap(24).toImage(), TrayIconRenderer::render(QStringLiteral("63"), 24, true))
        << "the icon draws the badge at the size asked for";
}

// A status text beside a reading: the tile changes, the figure keeps its size and contrast.
TEST(TrayIconRenderer, MarkedBadgeKeepsTheFigure)
{
    for (const int size : {16, 22, 24, 32}) {
        SCOPED_TRACE(size);
        const QImage plain = TrayIconRenderer::render(QStringLiteral("63"), size);
        QImage marked = TrayIconRenderer::render(QStringLiteral("63"), size, true);
        EXPECT_GT(QColor(marked.pixel(size / 2, 1)).lightness(), 100) << "a light tile, unlike the plain one";
        marked.invertPixels(); // dark figure on light becomes light on dark, as measure() expects
        const Ink plainInk = measure(plain);
        const Ink markedInk = measure(marked);
        EXPECT_GT(markedInk.lightShare, 0.05);
        EXPECT_EQ(markedInk.right - markedInk.left, plainInk.right - plainInk.left) << "the figure is as wide";
    }
}

} // namespace
} // namespace tallyglass::test
