#include "client/CodexLocator.h"

#include <QFile>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace tallyglass {

namespace {

// Exists, is not a directory, and this user may execute it; symbolic links are followed.
bool isExecutableFile(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat info {};
    if (::stat(native.constData(), &info) != 0 || S_ISDIR(info.st_mode))
        return false;
    return ::access(native.constData(), X_OK) == 0;
}

QString withoutTrailingSlashes(QString path)
{
    while (path.endsWith(u'/'))
        path.chop(1);
    return path;
}

// The password database entry's home directory, or nothing when there is no entry.
std::optional<QString> passwordDatabaseHome()
{
    long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> scratch(suggested > 0 ? std::size_t(suggested) : 1024);
    for (;;) {
        struct passwd entry {};
        struct passwd* found = nullptr;
        const int error = ::getpwuid_r(::getuid(), &entry, scratch.data(), scratch.size(), &found);
        if (error == ERANGE && scratch.size() < (std::size_t(1) << 20)) {
            scratch.resize(scratch.size() * 2);
            continue;
        }
        if (error != 0 || found == nullptr || found->pw_dir == nullptr)
            return std::nullopt;
        return QFile::decodeName(found->pw_dir);
    }
}

} // namespace

QString CodexLocator::homeDirectory()
{
    if (const std::optional<QString> home = passwordDatabaseHome())
        return withoutTrailingSlashes(*home);
    return withoutTrailingSlashes(QFile::decodeName(qgetenv("HOME")));
}

QStringList CodexLocator::candidates(const QString& homeDirectory, const std::optional<QString>& pathValue)
{
    QStringList result{
        homeDirectory + QStringLiteral("/.local/bin/codex"),
        QStringLiteral("/opt/homebrew/bin/codex"),
        QStringLiteral("/usr/local/bin/codex"),
        homeDirectory + QStringLiteral("/.npm-global/bin/codex"),
    };
    if (pathValue) {
        const QStringList entries = pathValue->split(u':', Qt::SkipEmptyParts);
        for (const QString& entry : entries)
            result.append(entry + QStringLiteral("/codex"));
    }
    return result;
}

std::optional<QString> CodexLocator::find(const QString& homeDirectory, const std::optional<QString>& pathValue)
{
    for (const QString& candidate : candidates(homeDirectory, pathValue)) {
        if (isExecutableFile(candidate))
            return candidate;
    }
    return std::nullopt;
}

std::optional<QString> CodexLocator::find()
{
    // getenv tells an unset PATH (no PATH candidates) from an empty one.
    std::optional<QString> pathValue;
    if (const char* path = std::getenv("PATH"))
        pathValue = QFile::decodeName(path);
    return find(homeDirectory(), pathValue);
}

} // namespace tallyglass
