#include "platform/XdgAutostart.h"
#include "platform/RegularFile.h"
#include "platform/UserDirectories.h"
#include "tallyglass/DesktopEntryTexts.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QTemporaryFile>
#include <climits>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tallyglass {

namespace {

// Larger than any desktop entry; a bigger file is not ours.
constexpr qint64 maxEntryBytes = 1 << 20;

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

// A string value with its escapes undone; `at[k]` is where decoded byte k starts in `raw`,
// and one more entry holds raw's size.
QByteArray unescapeValue(const QByteArray& raw, std::vector<qsizetype>* at = nullptr)
{
    QByteArray decoded;
    for (qsizetype i = 0; i < raw.size(); ++i) {
        if (at)
            at->push_back(i);
        char c = raw[i];
        if (c == '\\' && i + 1 < raw.size()) {
            const char next = raw[i + 1];
            const char* const from = "sntr\\";
            const char* const to = " \n\t\r\\";
            for (int k = 0; from[k]; ++k) {
                if (next == from[k]) {
                    c = to[k];
                    ++i;
                    break;
                }
            }
        }
        decoded += c;
    }
    if (at)
        at->push_back(raw.size());
    return decoded;
}

// One argument of an Exec value: where it lies in the value as written, and what it says.
struct ExecArgument {
    qsizetype begin;
    qsizetype end;
    QByteArray text;
};

// The arguments of an Exec value as written, split by the quoting rules.
std::vector<ExecArgument> execArguments(const QByteArray& raw)
{
    std::vector<qsizetype> at;
    const QByteArray line = unescapeValue(raw, &at);
    std::vector<ExecArgument> arguments;
    qsizetype k = 0;
    const qsizetype n = line.size();
    while (k < n) {
        if (line[k] == ' ' || line[k] == '\t') {
            ++k;
            continue;
        }
        ExecArgument argument{at[k], 0, {}};
        bool quoted = false;
        while (k < n && (quoted || (line[k] != ' ' && line[k] != '\t'))) {
            const char c = line[k];
            const char next = k + 1 < n ? line[k + 1] : '\0';
            if (c == '"') {
                quoted = !quoted;
                ++k;
            } else if (c == '\\' && next && (!quoted || std::strchr("\"`$\\", next))) {
                argument.text += next;
                k += 2;
            } else if (c == '%' && next == '%') {
                argument.text += '%';
                k += 2;
            } else {
                argument.text += c;
                ++k;
            }
        }
        argument.end = at[k];
        arguments.push_back(std::move(argument));
    }
    return arguments;
}

// One "key=value" line of an entry, as written.
struct EntryLine {
    QByteArray key;
    qsizetype valueBegin; // in the line
    qsizetype valueEnd;
};

// The lines of the [Desktop Entry] group; false when there is none.
bool mainGroupLines(const QByteArrayList& lines, std::vector<std::pair<qsizetype, EntryLine>>* keys)
{
    bool found = false;
    bool inMainGroup = false;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        if (line.startsWith('[')) {
            // Only the first such group counts; a repeated one makes the file invalid anyway.
            inMainGroup = line == "[Desktop Entry]" && !found;
            found = found || inMainGroup;
            continue;
        }
        if (!inMainGroup || line.startsWith('#'))
            continue;
        const QByteArray& raw = lines[i];
        const qsizetype equals = raw.indexOf('=');
        if (equals < 0)
            continue;
        qsizetype begin = equals + 1;
        while (begin < raw.size() && (raw[begin] == ' ' || raw[begin] == '\t'))
            ++begin;
        qsizetype end = raw.size();
        while (end > begin && (raw[end - 1] == '\n' || raw[end - 1] == '\r' || raw[end - 1] == ' '
                               || raw[end - 1] == '\t'))
            --end;
        keys->push_back({i, EntryLine{raw.left(equals).trimmed(), begin, end}});
    }
    return found;
}

QByteArrayList splitLines(const QByteArray& text)
{
    QByteArrayList lines;
    qsizetype start = 0;
    while (start < text.size()) {
        const qsizetype newline = text.indexOf('\n', start);
        const qsizetype end = newline < 0 ? text.size() : newline + 1;
        lines.append(text.mid(start, end - start));
        start = end;
    }
    return lines;
}

bool isValidUtf8(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8);
    [[maybe_unused]] const QString text = decoder(bytes);
    return !decoder.hasError();
}

QByteArray readLink(const QByteArray& path)
{
    QByteArray target(PATH_MAX, Qt::Uninitialized);
    const ssize_t size = ::readlink(path.constData(), target.data(), size_t(target.size()));
    return size < 0 || size >= target.size() ? QByteArray() : target.left(size);
}

} // namespace

XdgAutostart::XdgAutostart(QString autostartDirectory, QString executable, QString linkDirectory)
    : XdgAutostart(std::move(autostartDirectory), QFile::encodeName(executable), std::move(linkDirectory))
{
}

XdgAutostart::XdgAutostart(QString autostartDirectory, QByteArray nativeExecutable, QString linkDirectory)
    : directory_(std::move(autostartDirectory))
    , executable_(std::move(nativeExecutable))
    , linkDirectory_(std::move(linkDirectory))
{
}

XdgAutostart XdgAutostart::forCurrentUser()
{
    // The bytes as the file system has them: Qt's file path turns a name that is not
    // UTF-8 into one that names no file.
    QByteArray executable = readLink("/proc/self/exe");
    if (executable.isEmpty())
        executable = QFile::encodeName(QCoreApplication::applicationFilePath());
    const QString config = UserDirectories::configHome();
    const QString data = UserDirectories::dataHome();
    return XdgAutostart(config.isEmpty() ? QString() : config + QStringLiteral("/autostart"), executable,
                        data.isEmpty() ? QString() : data + QStringLiteral("/tallyglass"));
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
    if (directory_.isEmpty())
        return false;
    const std::optional<QByteArray> text = RegularFile::read(entryPath(), maxEntryBytes);
    if (!text)
        return false;
    const QByteArrayList lines = splitLines(*text);
    std::vector<std::pair<qsizetype, EntryLine>> keys;
    if (!mainGroupLines(lines, &keys))
        return false;
    for (const auto& [index, key] : keys) {
        const QByteArray value = lines[index].mid(key.valueBegin, key.valueEnd - key.valueBegin);
        if ((key.key == "Hidden" && value == "true") || (key.key == "X-GNOME-Autostart-enabled" && value == "false"))
            return false;
    }
    return true;
}

bool XdgAutostart::registerItem()
{
    if (directory_.isEmpty() || (needsLink() && !updateLink()))
        return false;
    // A name that is not UTF-8 has no place in an entry; without a link folder it cannot start.
    if (!isValidUtf8(executable_) && !needsLink())
        return false;
    return writeEntry(entryText(launchPath()));
}

bool XdgAutostart::unregisterItem()
{
    if (needsLink())
        QFile::remove(launchPath()); // nothing else uses it
    QFile file(entryPath());
    if (!QFileInfo(file).exists() && !QFileInfo(file).isSymLink())
        return true;
    return file.remove();
}

bool XdgAutostart::refresh()
{
    if (!isRegistered())
        return true;
    // A link (to a system launcher, to someone's dotfiles) is not ours to rewrite.
    if (QFileInfo(entryPath()).isSymLink())
        return true;
    const std::optional<QByteArray> text = RegularFile::read(entryPath(), maxEntryBytes);
    if (!text)
        return true;
    const QByteArray launch = launchPath().toUtf8();
    const QByteArray launchName = launch.mid(launch.lastIndexOf('/') + 1);
    QByteArrayList lines = splitLines(*text);
    std::vector<std::pair<qsizetype, EntryLine>> keys;
    mainGroupLines(lines, &keys);

    // The program the entry starts: TryExec names it; without one, the absolute argument
    // of Exec with the program's file name.
    QByteArray previous;
    for (const auto& [index, key] : keys) {
        if (key.key == "TryExec")
            previous = unescapeValue(lines[index].mid(key.valueBegin, key.valueEnd - key.valueBegin));
    }
    bool changed = false;
    for (const auto& [index, key] : keys) {
        QByteArray& line = lines[index];
        const QByteArray value = line.mid(key.valueBegin, key.valueEnd - key.valueBegin);
        if (key.key == "TryExec" && previous != launch) {
            line.replace(key.valueBegin, key.valueEnd - key.valueBegin, escapeValue(launchPath(), false).toUtf8());
            changed = true;
        } else if (key.key == "Exec") {
            const std::vector<ExecArgument> arguments = execArguments(value);
            const ExecArgument* program = nullptr;
            for (const ExecArgument& argument : arguments) {
                if (!previous.isEmpty() ? argument.text == previous
                                        : argument.text.startsWith('/') && argument.text.endsWith('/' + launchName)) {
                    program = &argument;
                    break;
                }
            }
            // Nothing recognisable as our program (a bare "tallyglass" found on PATH): leave it.
            if (!program || program->text == launch)
                continue;
            line.replace(key.valueBegin + program->begin, program->end - program->begin,
                         execArgument(launchPath()).toUtf8());
            changed = true;
        }
    }
    if (needsLink() && !linkIsCurrent() && !updateLink())
        return false;
    return !changed || writeEntry(lines.join());
}

bool XdgAutostart::writeEntry(const QByteArray& text) const
{
    if (!QDir().mkpath(directory_))
        return false;
    // A new file beside the entry, renamed over it: whatever sits at the path (a link to
    // another file, for one) is replaced, never written through.
    QTemporaryFile file(directory_ + QStringLiteral("/.tallyglass.desktop-XXXXXX"));
    if (!file.open() || file.write(text) != text.size() || !file.flush())
        return false;
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    if (std::rename(QFile::encodeName(file.fileName()).constData(), QFile::encodeName(entryPath()).constData()) != 0)
        return false;
    file.setAutoRemove(false);
    return true;
}

QString XdgAutostart::launchPath() const
{
    return needsLink() ? linkDirectory_ + QStringLiteral("/tallyglass") : QString::fromUtf8(executable_);
}

bool XdgAutostart::needsLink() const
{
    return !linkDirectory_.isEmpty() && (executable_.contains('%') || !isValidUtf8(executable_));
}

bool XdgAutostart::linkIsCurrent() const
{
    const QByteArray link = QFile::encodeName(launchPath());
    struct stat info {};
    return ::lstat(link.constData(), &info) == 0 && S_ISLNK(info.st_mode) && readLink(link) == executable_;
}

bool XdgAutostart::updateLink() const
{
    if (linkIsCurrent())
        return true;
    if (!QDir().mkpath(linkDirectory_))
        return false;
    // Made beside the old link and renamed over it, so the entry never names a missing file.
    const QByteArray link = QFile::encodeName(launchPath());
    const QByteArray fresh = link + ".new";
    ::unlink(fresh.constData());
    if (::symlink(executable_.constData(), fresh.constData()) != 0)
        return false;
    if (std::rename(fresh.constData(), link.constData()) != 0) {
        ::unlink(fresh.constData());
        return false;
    }
    return true;
}

} // namespace tallyglass
