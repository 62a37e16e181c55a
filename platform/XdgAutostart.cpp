#include "platform/XdgAutostart.h"
#include "tallyglass/DesktopEntryTexts.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QStandardPaths>
#include <cstdio>

namespace tallyglass {

namespace {

// A string value by the Desktop Entry rules; `percent` also doubles % for an Exec line.
QString escapeValue(const QString& text, bool percent)
{
    QString value;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u'\\')
            value += QStringLiteral("\\\\");
        else if (c == u'\n')
            value += QStringLiteral("\\n");
        else if (c == u'\t')
            value += QStringLiteral("\\t");
        else if (c == u'\r')
            value += QStringLiteral("\\r");
        else if (c == u' ' && i == 0)
            value += QStringLiteral("\\s");
        else if (c == u'%' && percent)
            value += QStringLiteral("%%");
        else
            value += c;
    }
    return value;
}

// The keys of the [Desktop Entry] group, values as written (still escaped).
QHash<QByteArray, QByteArray> mainGroup(const QString& path)
{
    QHash<QByteArray, QByteArray> keys;
    QFile file(path);
    if (!QFileInfo(file).isFile() || !file.open(QIODevice::ReadOnly))
        return keys;
    bool inMainGroup = false;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (line.startsWith('[')) {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        if (!inMainGroup || line.startsWith('#'))
            continue;
        const qsizetype equals = line.indexOf('=');
        if (equals >= 0)
            keys.insert(line.left(equals).trimmed(), line.mid(equals + 1).trimmed());
    }
    return keys;
}

} // namespace

XdgAutostart::XdgAutostart(QString autostartDirectory, QString executable, QString linkDirectory)
    : directory_(std::move(autostartDirectory))
    , executable_(std::move(executable))
    , linkDirectory_(std::move(linkDirectory))
{
}

XdgAutostart XdgAutostart::forCurrentUser()
{
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return XdgAutostart(config + QStringLiteral("/autostart"), QCoreApplication::applicationFilePath(),
                        data + QStringLiteral("/tallyglass"));
}

QString XdgAutostart::entryPath() const
{
    return directory_ + QStringLiteral("/tallyglass.desktop");
}

QString XdgAutostart::execArgument(const QString& path)
{
    // Quoting rule: inside double quotes, " ` $ and \ take a backslash.
    QString quoted;
    for (const QChar c : path) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += u'\\';
        quoted += c;
    }
    quoted = u'"' + quoted + u'"';
    // String-value escapes apply before the quoting rule is read, so each backslash
    // doubles again; a literal % is written %% so it is no field code.
    return escapeValue(quoted, true);
}

QByteArray XdgAutostart::entryText(const QString& executable)
{
    // TryExec: once the program is gone, the session skips the entry instead of failing.
    const QString text = QStringLiteral("[Desktop Entry]\n"
                                        "Type=Application\n"
                                        "Name=" TALLYGLASS_ENTRY_NAME "\n"
                                        "Name[ko]=" TALLYGLASS_ENTRY_NAME_KO "\n"
                                        "Comment=" TALLYGLASS_ENTRY_COMMENT "\n"
                                        "Comment[ko]=" TALLYGLASS_ENTRY_COMMENT_KO "\n"
                                        "Exec=%1\n"
                                        "TryExec=%2\n"
                                        "Terminal=false\n"
                                        "X-GNOME-Autostart-Delay=2\n"
                                        "X-KDE-autostart-after=panel\n")
                             .arg(execArgument(executable), escapeValue(executable, false));
    return text.toUtf8();
}

bool XdgAutostart::isRegistered() const
{
    if (!QFileInfo(entryPath()).isFile())
        return false;
    const QHash<QByteArray, QByteArray> keys = mainGroup(entryPath());
    return keys.value("Hidden") != "true" && keys.value("X-GNOME-Autostart-enabled") != "false";
}

bool XdgAutostart::registerItem()
{
    if (needsLink() && !updateLink())
        return false;
    if (!QDir().mkpath(directory_))
        return false;
    QSaveFile file(entryPath());
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray text = entryText(launchPath());
    if (file.write(text) != text.size())
        return false;
    return file.commit();
}

bool XdgAutostart::unregisterItem()
{
    if (needsLink())
        QFile::remove(launchPath()); // nothing else uses it
    QFile file(entryPath());
    if (!file.exists())
        return true;
    return file.remove();
}

bool XdgAutostart::refresh()
{
    if (!isRegistered())
        return true;
    const QHash<QByteArray, QByteArray> keys = mainGroup(entryPath());
    const bool current = keys.value("Exec") == execArgument(launchPath()).toUtf8()
                      && keys.value("TryExec") == escapeValue(launchPath(), false).toUtf8()
                      && (!needsLink() || linkIsCurrent());
    return current || registerItem();
}

QString XdgAutostart::launchPath() const
{
    return needsLink() ? linkDirectory_ + QStringLiteral("/tallyglass") : executable_;
}

bool XdgAutostart::needsLink() const
{
    return !linkDirectory_.isEmpty() && executable_.contains(u'%');
}

bool XdgAutostart::linkIsCurrent() const
{
    const QFileInfo link(launchPath());
    return link.isSymLink() && link.symLinkTarget() == executable_;
}

bool XdgAutostart::updateLink() const
{
    if (linkIsCurrent())
        return true;
    if (!QDir().mkpath(linkDirectory_))
        return false;
    // Made beside the old link and renamed over it, so the entry never names a missing file.
    const QString link = launchPath();
    const QString fresh = link + QStringLiteral(".new");
    QFile::remove(fresh);
    if (!QFile::link(executable_, fresh))
        return false;
    if (std::rename(QFile::encodeName(fresh).constData(), QFile::encodeName(link).constData()) != 0) {
        QFile::remove(fresh);
        return false;
    }
    return true;
}

} // namespace tallyglass
