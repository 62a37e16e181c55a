#include "platform/DesktopNotifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>
#include <algorithm>

namespace tallyglass {
namespace {

const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");

QDBusMessage call(const QString& method)
{
    return QDBusMessage::createMethodCall(service, path, service, method);
}

} // namespace

QDBusConnection DesktopNotifier::sessionBusIfRunning()
{
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return QDBusConnection(QString());
    return QDBusConnection::sessionBus();
}

DesktopNotifier::DesktopNotifier(QDBusConnection bus)
    : bus_(std::move(bus))
{
    // QDBusConnection connects bus signals to named slots only.
    if (bus_.isConnected())
        bus_.connect(service, path, service, QStringLiteral("ActionInvoked"), this,
                     SLOT(actionInvoked(uint, QString)));
}

void DesktopNotifier::notify(NotificationTopic topic, const Notification& notification)
{
    if (!bus_.isConnected())
        return;
    const auto slot = static_cast<std::size_t>(topic);
    if (!notification.action) {
        send(slot, notification, false);
        return;
    }
    // Actions only where the service lists them; asked each time, since notifications
    // are rare and the service may have been replaced meanwhile.
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call(QStringLiteral("GetCapabilities"))), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, slot, notification](QDBusPendingCallWatcher* w) {
                const QDBusPendingReply<QStringList> reply = *w;
                send(slot, notification, !reply.isError() && reply.value().contains(QStringLiteral("actions")));
                w->deleteLater();
            });
}

void DesktopNotifier::send(std::size_t slot, const Notification& notification, bool withAction)
{
    QDBusMessage notify = call(QStringLiteral("Notify"));
    const QVariantMap hints{
        {QStringLiteral("desktop-entry"), desktopEntry},
        {QStringLiteral("urgency"), QVariant::fromValue(uchar(notification.critical ? 2 : 1))},
    };
    const QStringList actions = withAction ? QStringList{actionKey, *notification.action} : QStringList();
    notify << appName << shown_[slot] << desktopEntry << notification.summary << notification.body << actions
           << hints << int(-1);
    // Asynchronous, so a slow or missing service never holds up the tray; a failed
    // call (no service on the bus) is dropped without a word.
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(notify), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, slot](QDBusPendingCallWatcher* w) {
        const QDBusPendingReply<uint> reply = *w;
        if (!reply.isError())
            shown_[slot] = reply.value();
        w->deleteLater();
    });
}

void DesktopNotifier::actionInvoked(uint id, const QString& key)
{
    // The signal goes to every client of the service; only our own notifications count.
    if (id == 0 || key != actionKey || std::ranges::find(shown_, id) == shown_.end())
        return;
    if (onAction)
        onAction();
}

} // namespace tallyglass
