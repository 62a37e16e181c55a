#pragma once
// The item in the system tray that shows the title and badge and opens the menu. Main thread only.

#include <QString>
#include <functional>

class QMenu;

namespace tallyglass {

enum class StatusClick { leftUp, rightUp };

class StatusItem {
public:
    virtual ~StatusItem() = default;

    virtual void setTitle(const QString& title) = 0;
    virtual QString title() const = 0;
    virtual void setToolTip(const QString& toolTip) = 0;
    virtual QString toolTip() const = 0;
    // The short figure drawn on the icon; `marked` draws it so that a status text shows.
    virtual void setBadge(const QString& badge, bool marked) = 0;
    virtual QString badge() const = 0;
    virtual bool badgeMarked() const = 0;

    // Left and right clicks; other buttons are not reported.
    std::function<void(StatusClick)> onClick;
    // Called each time the menu is about to open, to fill it afresh.
    std::function<void(QMenu&)> onMenuAboutToShow;
};

} // namespace tallyglass
