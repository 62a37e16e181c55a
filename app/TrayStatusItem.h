#pragma once
// StatusItem over QSystemTrayIcon, with its context menu rebuilt each time it opens. Main thread only.

#include "app/StatusItem.h"

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

    QSystemTrayIcon& trayIcon() { return tray_; }
    QMenu& menu() { return menu_; }

private:
    void showWhenTrayAppears();
    void updateTrayToolTip();

    QString title_;
    QString toolTip_;
    QString badge_;
    QMenu menu_;
    QSystemTrayIcon tray_;
    QTimer trayWatch_;
};

} // namespace tallyglass
