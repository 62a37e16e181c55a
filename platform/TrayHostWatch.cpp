#include "platform/TrayHostWatch.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

namespace tallyglass {
namespace {

const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString watcherInterface = QStringLiteral("org.kde.StatusNotifierWatcher");

} // namespace

TrayHostWatch::TrayHostWatch(QDBusConnection bus)
    : bus_(std::move(bus))
{
    if (!bus_.isConnected())
        return;
    // The same test Qt makes when it creates the first tray icon. When it passes, Qt uses
    // SNI and registers the item again with a watcher that restarts.
    if (bus_.interface()->isServiceRegistered(watcherService))
        return;

    serviceWatch_.setConnection(bus_);
    serviceWatch_.setWatchMode(QDBusServiceWatcher::WatchForRegistration);
    serviceWatch_.addWatchedService(watcherService);
    connect(&serviceWatch_, &QDBusServiceWatcher::serviceRegistered, this, [this] { checkHost(); });
    // A watcher that comes up alone announces its host later.
    bus_.connect(QString(), watcherPath, watcherInterface, QStringLiteral("StatusNotifierHostRegistered"), this,
                 SLOT(checkHost()));
}

void TrayHostWatch::checkHost()
{
    QDBusMessage get = QDBusMessage::createMethodCall(watcherService, watcherPath,
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << watcherInterface << QStringLiteral("IsStatusNotifierHostRegistered");
    auto* call = new QDBusPendingCallWatcher(bus_.asyncCall(get), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* finished) {
        finished->deleteLater();
        const QDBusPendingReply<QDBusVariant> reply = *finished;
        if (!reply.isError() && reply.value().variant().toBool())
            hostAppeared();
    });
}

void TrayHostWatch::hostAppeared()
{
    if (reported_)
        return;
    reported_ = true;
    if (onHostAppeared)
        onHostAppeared();
}

} // namespace tallyglass
