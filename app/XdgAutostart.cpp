#include "app/XdgAutostart.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace tallyglass {

XdgAutostart::XdgAutostart(QString autostartDirectory, QString executable)
    : directory_(std::move(autostartDirectory))
    , executable_(std::move(executable))
{
}

XdgAutostart XdgAutostart::forCurrentUser()
{
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return XdgAutostart(config + QStringLiteral("/autostart"), QCoreApplication::applicationFilePath());
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
    QString value;
    for (const QChar c : quoted) {
        if (c == u'\\')
            value += QStringLiteral("\\\\");
        else if (c == u'\n')
            value += QStringLiteral("\\n");
        else if (c == u'\t')
            value += QStringLiteral("\\t");
        else if (c == u'\r')
            value += QStringLiteral("\\r");
        else if (c == u'%')
            value += QStringLiteral("%%");
        else
            value += c;
    }
    return value;
}

QByteArray XdgAutostart::entryText(const QString& executable)
{
    const QString text = QStringLiteral("[Desktop Entry]\n"
                                        "Type=Application\n"
                                        "Name=Tallyglass\n"
                                        "Comment=Codex usage in the system tray\n"
                                        "Exec=%1\n"
                                        "Terminal=false\n"
                                        "X-GNOME-Autostart-Delay=2\n"
                                        "X-KDE-autostart-after=panel\n")
                             .arg(execArgument(executable));
    return text.toUtf8();
}

bool XdgAutostart::isRegistered() const
{
    QFile file(entryPath());
    if (!QFileInfo(file).isFile() || !file.open(QIODevice::ReadOnly))
        return false;
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
        if (equals < 0)
            continue;
        const QByteArray key = line.left(equals).trimmed();
        const QByteArray value = line.mid(equals + 1).trimmed();
        if ((key == "Hidden" && value == "true") || (key == "X-GNOME-Autostart-enabled" && value == "false"))
            return false;
    }
    return true;
}

bool XdgAutostart::registerItem()
{
    if (!QDir().mkpath(directory_))
        return false;
    QSaveFile file(entryPath());
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray text = entryText(executable_);
    if (file.write(text) != text.size())
        return false;
    return file.commit();
}

bool XdgAutostart::unregisterItem()
{
    QFile file(entryPath());
    if (!file.exists())
        return true;
    return file.remove();
}

} // namespace tallyglass
