#include "platform/DesktopNotifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace tallyglass {

QDBusConnection DesktopNotifier::sessionBusIfRunning()
{
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return QDBusConnection(QString());
    return QDBusConnection::sessionBus();
}

DesktopNotifier::DesktopNotifier(QDBusConnection bus)
    : bus_(std::move(bus))
{
}

void DesktopNotifier::notify(UsageWindowKind kind, const Notification& notification)
{
    if (!bus_.isConnected())
        return;
    const std::size_t slot = kind == UsageWindowKind::fiveHour ? 0 : 1;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    const QVariantMap hints{
        {QStringLiteral("desktop-entry"), desktopEntry},
        {QStringLiteral("urgency"), QVariant::fromValue(uchar(notification.critical ? 2 : 1))},
    };
    call << appName << shown_[slot] << desktopEntry << notification.summary << notification.body << QStringList()
         << hints << int(-1);
    // Asynchronous, so a slow or missing service never holds up the tray; a failed
    // call (no service on the bus) is dropped without a word.
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, slot](QDBusPendingCallWatcher* w) {
        const QDBusPendingReply<uint> reply = *w;
        if (!reply.isError())
            shown_[slot] = reply.value();
        w->deleteLater();
    });
}

} // namespace tallyglass
