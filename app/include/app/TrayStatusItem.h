#pragma once
// StatusItem over QSystemTrayIcon, with its context menu rebuilt each time it opens. Main thread only.

#include "app/StatusItem.h"

#include <QHash>
#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>

namespace tallyglass {

class TrayStatusItem : public QObject, public StatusItem {
public:
    TrayStatusItem();
    ~TrayStatusItem() override;

    void setTitle(const QString& title) override;
    QString title() const override { return title_; }
    void setToolTip(const QString& toolTip) override;
    QString toolTip() const override { return toolTip_; }
    void setBadge(const QString& badge, bool marked) override;
    QString badge() const override { return badge_; }
    bool badgeMarked() const override { return marked_; }

    QSystemTrayIcon& trayIcon() { return tray_; }
    QMenu& menu() { return menu_; }

private:
    const QIcon& iconFor(const QString& badge, bool marked);
    void showWhenTrayAppears();
    void updateTrayToolTip();

    QString title_;
    QString toolTip_;
    QString badge_;
    bool marked_ = false;
    // Icons of the badges shown lately. Reusing one QIcon per badge keeps the
    // platform's pixmap cache from filling with copies of the same few images.
    QHash<std::pair<QString, bool>, QIcon> icons_;
    QMenu menu_;
    QSystemTrayIcon tray_;
    QTimer trayWatch_;
};

} // namespace tallyglass
