#pragma once
// Notices a StatusNotifierItem host that appears after start while the icon sits in an
// XEmbed tray (or in none). Main thread only.
//
// Qt picks SNI or XEmbed once per process, when the first tray icon is made, and keeps
// that choice; a panel that starts after us would never get the icon. The owner answers
// onHostAppeared by starting the program anew, which lets Qt choose again.

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QObject>
#include <functional>

namespace tallyglass {

class TrayHostWatch : public QObject {
    Q_OBJECT
public:
    // Call before the first tray icon is made: it notes whether Qt will find a host.
    explicit TrayHostWatch(QDBusConnection bus = QDBusConnection::sessionBus());

    // Called once, when a watcher with a registered host shows up after an XEmbed start.
    std::function<void()> onHostAppeared;

private slots:
    // Asks the watcher whether a host has registered with it.
    void checkHost();

private:
    void hostAppeared();

    QDBusConnection bus_;
    bool reported_ = false;
    QDBusServiceWatcher serviceWatch_;
};

} // namespace tallyglass
