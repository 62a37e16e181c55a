#pragma once
// Launch at login as an XDG autostart entry (autostart/tallyglass.desktop). Main thread only.

#include "platform/LoginItemService.h"

#include <QString>

namespace tallyglass {

class XdgAutostart : public LoginItemService {
public:
    // `autostartDirectory` holds the entry; `executable` is the absolute path it starts.
    // GLib refuses an Exec line with an escaped %, so when `executable` contains one and
    // `linkDirectory` is given, the entry starts a symlink to it made there instead.
    XdgAutostart(QString autostartDirectory, QString executable, QString linkDirectory = {});

    // $XDG_CONFIG_HOME/autostart (default ~/.config/autostart) for the running executable,
    // with any symlink in $XDG_DATA_HOME/tallyglass (default ~/.local/share/tallyglass).
    static XdgAutostart forCurrentUser();

    // The entry exists and is neither Hidden=true nor X-GNOME-Autostart-enabled=false.
    bool isRegistered() const override;
    // Writes the entry atomically, creating the folder (and the symlink) when needed.
    bool registerItem() override;
    bool unregisterItem() override;
    // When registered, rewrites an entry that starts another path (for example a copy the
    // user has since moved or reinstalled elsewhere). True when nothing was left to do.
    bool refresh();

    QString entryPath() const;
    // What the entry starts: the executable, or the symlink to it.
    QString launchPath() const;
    // The path as one argument of an Exec line, quoted and escaped by the Desktop Entry rules.
    static QString execArgument(const QString& path);
    static QByteArray entryText(const QString& executable);

private:
    QString directory_;
    QString executable_;
    QString linkDirectory_;

    bool needsLink() const;
    bool linkIsCurrent() const;
    bool updateLink() const;
};

} // namespace tallyglass
