#pragma once
// Launch at login as an XDG autostart entry (autostart/tallyglass.desktop). Main thread only.

#include "platform/LoginItemService.h"

#include <QByteArray>
#include <QString>

namespace tallyglass {

class XdgAutostart : public LoginItemService {
public:
    // `autostartDirectory` holds the entry; `executable` is the absolute path it starts.
    // GLib refuses an Exec line with an escaped %, and desktop entries are UTF-8, so when
    // `executable` contains a % or is not valid UTF-8 and `linkDirectory` is given, the
    // entry starts a symlink to it made there instead.
    XdgAutostart(QString autostartDirectory, QString executable, QString linkDirectory = {});
    // `executable` as the file system's bytes, which need not be UTF-8.
    XdgAutostart(QString autostartDirectory, QByteArray nativeExecutable, QString linkDirectory = {});

    // $XDG_CONFIG_HOME/autostart (default ~/.config/autostart) for the running executable,
    // with any symlink in $XDG_DATA_HOME/tallyglass (default ~/.local/share/tallyglass).
    static XdgAutostart forCurrentUser();

    // The entry is a regular file (links followed) with a [Desktop Entry] group that is
    // neither Hidden=true nor X-GNOME-Autostart-enabled=false.
    bool isRegistered() const override;
    // Writes a new entry beside the old path and renames it over it: a link there is
    // replaced, never written through. Creates the folder (and the symlink) when needed.
    bool registerItem() override;
    bool unregisterItem() override;
    // When our entry (a regular file, not a link) starts another path, for example a copy
    // the user has since moved elsewhere, puts the new path in place of the old one in Exec
    // and TryExec and keeps every other byte. True when nothing was left to do.
    bool refresh();

    QString entryPath() const;
    // What the entry starts: the executable, or the symlink to it.
    QString launchPath() const;
    // The path as one argument of an Exec line, quoted and escaped by the Desktop Entry rules.
    static QString execArgument(const QString& path);
    static QByteArray entryText(const QString& executable);

private:
    QString directory_;
    QByteArray executable_;
    QString linkDirectory_;

    bool needsLink() const;
    bool linkIsCurrent() const;
    bool updateLink() const;
    bool writeEntry(const QByteArray& text) const;
};

} // namespace tallyglass
