#pragma once
// Launch at login as an XDG autostart entry (autostart/tallyglass.desktop). Main thread only.

#include "app/LoginItemService.h"

#include <QString>

namespace tallyglass {

class XdgAutostart : public LoginItemService {
public:
    // `autostartDirectory` holds the entry; `executable` is the absolute path it starts.
    XdgAutostart(QString autostartDirectory, QString executable);

    // $XDG_CONFIG_HOME/autostart (default ~/.config/autostart) for the running executable.
    static XdgAutostart forCurrentUser();

    // The entry exists and is neither Hidden=true nor X-GNOME-Autostart-enabled=false.
    bool isRegistered() const override;
    // Writes the entry atomically, creating the folder when needed.
    bool registerItem() override;
    bool unregisterItem() override;

    QString entryPath() const;
    // The path as one argument of an Exec line, quoted and escaped by the Desktop Entry rules.
    static QString execArgument(const QString& path);
    static QByteArray entryText(const QString& executable);

private:
    QString directory_;
    QString executable_;
};

} // namespace tallyglass
