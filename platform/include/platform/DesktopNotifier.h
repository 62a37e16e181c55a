#pragma once
// Notifier through org.freedesktop.Notifications on the session bus. Main thread only.

#include "platform/Notifier.h"

#include <QDBusConnection>
#include <QObject>
#include <array>

namespace tallyglass {

class DesktopNotifier : public QObject, public Notifier {
    Q_OBJECT
public:
    static inline const QString appName = QStringLiteral("Tallyglass");
    // The installed desktop entry and icon are both named after the program.
    static inline const QString desktopEntry = QStringLiteral("tallyglass");
    // The key of the one action a notification may offer.
    static inline const QString actionKey = QStringLiteral("use-reset");

    // The session bus named by DBUS_SESSION_BUS_ADDRESS; none when it is not set, so that
    // no bus is ever started on our behalf (D-Bus autolaunch) just for notifications.
    static QDBusConnection sessionBusIfRunning();

    explicit DesktopNotifier(QDBusConnection bus = sessionBusIfRunning());

    void notify(NotificationTopic topic, const Notification& notification) override;

private slots:
    void actionInvoked(uint id, const QString& key);

private:
    void send(std::size_t slot, const Notification& notification, bool withAction);

    QDBusConnection bus_;
    std::array<uint, 3> shown_{}; // the id of each topic's last notification, 0 for none
};

} // namespace tallyglass
