#pragma once
// Notifier through org.freedesktop.Notifications on the session bus. Main thread only.

#include "platform/Notifier.h"

#include <QDBusConnection>
#include <QObject>
#include <array>

namespace tallyglass {

class DesktopNotifier : public QObject, public Notifier {
public:
    static inline const QString appName = QStringLiteral("Tallyglass");
    // The installed desktop entry and icon are both named after the program.
    static inline const QString desktopEntry = QStringLiteral("tallyglass");

    // The session bus named by DBUS_SESSION_BUS_ADDRESS; none when it is not set, so that
    // no bus is ever started on our behalf (D-Bus autolaunch) just for notifications.
    static QDBusConnection sessionBusIfRunning();

    explicit DesktopNotifier(QDBusConnection bus = sessionBusIfRunning());

    void notify(UsageWindowKind kind, const Notification& notification) override;

private:
    QDBusConnection bus_;
    std::array<uint, 2> shown_{}; // the id of each window's last notification, 0 for none
};

} // namespace tallyglass
