#include "app/TrayStatusItem.h"

#include <gtest/gtest.h>

namespace tallyglass::test {
namespace {

TEST(TrayStatusItem, KeepsTextsAndShowsTitleAboveToolTip)
{
    TrayStatusItem item;
    item.setTitle(QStringLiteral("63% (3:05 PM)"));
    item.setToolTip(QStringLiteral("5시간 한도 남음"));
    EXPECT_EQ(item.title(), QStringLiteral("63% (3:05 PM)"));
    EXPECT_EQ(item.toolTip(), QStringLiteral("5시간 한도 남음"));
    EXPECT_EQ(item.trayIcon().toolTip(), QStringLiteral("63% (3:05 PM)\n5시간 한도 남음"));
    EXPECT_FALSE(item.trayIcon().icon().isNull());
    const qint64 before = item.trayIcon().icon().cacheKey();
    item.setBadge(QStringLiteral("63"), false);
    EXPECT_EQ(item.badge(), QStringLiteral("63"));
    EXPECT_NE(item.trayIcon().icon().cacheKey(), before) << "a new badge draws a new icon";
    const qint64 plain = item.trayIcon().icon().cacheKey();
    item.setBadge(QStringLiteral("63"), true);
    EXPECT_TRUE(item.badgeMarked());
    EXPECT_NE(item.trayIcon().icon().cacheKey(), plain) << "a mark draws a new icon";
    EXPECT_EQ(item.trayIcon().contextMenu(), &item.menu());
}

TEST(TrayStatusItem, LeftAndRightClicksOnlyAndMenuFilledOnEachOpening)
{
    TrayStatusItem item;
    std::vector<StatusClick> clicks;
    int fills = 0;
    item.onClick = [&](StatusClick click) { clicks.push_back(click); };
    item.onMenuAboutToShow = [&](QMenu& menu) {
        EXPECT_EQ(&menu, &item.menu());
        ++fills;
    };
    for (const auto reason : {QSystemTrayIcon::Trigger, QSystemTrayIcon::Context, QSystemTrayIcon::MiddleClick,
                              QSystemTrayIcon::DoubleClick, QSystemTrayIcon::Unknown})
        emit item.trayIcon().activated(reason);
    EXPECT_EQ(clicks, (std::vector<StatusClick>{StatusClick::leftUp, StatusClick::rightUp}));
    emit item.menu().aboutToShow();
    emit item.menu().aboutToShow();
    EXPECT_EQ(fills, 2);
}

} // namespace
} // namespace tallyglass::test
