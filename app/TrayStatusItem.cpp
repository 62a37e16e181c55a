#include "app/TrayStatusItem.h"

#include "texts/StatusTexts.h"
#include "app/TrayIconRenderer.h"

namespace tallyglass {

TrayStatusItem::TrayStatusItem()
{
    tray_.setContextMenu(&menu_);
    // The tray opens the menu itself on a right click; fill it from the current state every time.
    connect(&menu_, &QMenu::aboutToShow, this, [this] {
        if (onMenuAboutToShow)
            onMenuAboutToShow(menu_);
    });
    connect(&tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (!onClick)
            return;
        if (reason == QSystemTrayIcon::Trigger)
            onClick(StatusClick::leftUp);
        else if (reason == QSystemTrayIcon::Context)
            onClick(StatusClick::rightUp);
    });
    badge_ = StatusTexts::noDataBadge();
    tray_.setIcon(iconFor(badge_, marked_));
    tray_.show();
    showWhenTrayAppears();
}

TrayStatusItem::~TrayStatusItem()
{
    tray_.setContextMenu(nullptr);
}

void TrayStatusItem::showWhenTrayAppears()
{
    if (QSystemTrayIcon::isSystemTrayAvailable())
        return;
    // At login the panel may start after us: look again every second until it is there,
    // then show the icon anew so it is embedded, and stop looking.
    trayWatch_.setInterval(std::chrono::seconds(1));
    connect(&trayWatch_, &QTimer::timeout, this, [this] {
        if (!QSystemTrayIcon::isSystemTrayAvailable())
            return;
        trayWatch_.stop();
        tray_.hide();
        tray_.show();
    });
    trayWatch_.start();
}

void TrayStatusItem::setTitle(const QString& title)
{
    title_ = title;
    updateTrayToolTip();
}

void TrayStatusItem::setBadge(const QString& badge, bool marked)
{
    if (badge == badge_ && marked == marked_)
        return;
    badge_ = badge;
    marked_ = marked;
    tray_.setIcon(iconFor(badge_, marked_));
}

const QIcon& TrayStatusItem::iconFor(const QString& badge, bool marked)
{
    // A reading flips between "↻" and its figure; a handful of badges covers that.
    constexpr qsizetype kKeptIcons = 8;
    const std::pair key{badge, marked};
    if (!icons_.contains(key) && icons_.size() >= kKeptIcons)
        icons_.clear();
    auto it = icons_.find(key);
    if (it == icons_.end())
        it = icons_.insert(key, TrayIconRenderer::icon(badge, marked));
    return *it;
}

void TrayStatusItem::setToolTip(const QString& toolTip)
{
    toolTip_ = toolTip;
    updateTrayToolTip();
}

void TrayStatusItem::updateTrayToolTip()
{
    tray_.setToolTip(toolTip_.isEmpty() ? title_ : title_ + u'\n' + toolTip_);
}

} // namespace tallyglass
