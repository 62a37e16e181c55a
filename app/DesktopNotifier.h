#pragma once
// Notifier through org.freedesktop.Notifications on the session bus. Main thread only.

#include "app/Notifier.h"

#include <QDBusConnection>
#include <QObject>
#include <array>

namespace tallyglass {

class DesktopNotifier : public QObject, public Notifier {
public:
    static inline const QString appName = QStringLiteral("Tallyglass");
    // The installed desktop entry and icon are both named after the program.
    static inline const QString desktopEntry = QStringLiteral("tallyglass");

    explicit DesktopNotifier(QDBusConnection bus = QDBusConnection::sessionBus());

    void notify(UsageWindowKind kind, const Notification& notification) override;

private:
    QDBusConnection bus_;
    std::array<uint, 2> shown_{}; // the id of each window's last notification, 0 for none
};

} // namespace tallyglass
