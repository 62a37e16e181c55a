#include "StoreFile.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyglass::storefile {
namespace {

constexpr mode_t privateBits = 0077;

QByteArray native(const QString& path)
{
    return QFile::encodeName(path);
}

// Takes group and other access away from what `path` names, if it is of `type`; a link
// is not followed, so nothing outside is touched.
void tighten(const QString& path, mode_t type)
{
    struct stat info {};
    if (::lstat(native(path).constData(), &info) == 0 && (info.st_mode & S_IFMT) == type &&
        (info.st_mode & privateBits) != 0)
        ::chmod(native(path).constData(), info.st_mode & 07700);
}

// Moves `from` to `to` unless something (even a dangling link) is at `to`.
bool renameNoReplace(const QByteArray& from, const QByteArray& to)
{
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without RENAME_NOREPLACE: look first, then rename.
    struct stat info {};
    if (::lstat(to.constData(), &info) == 0 || errno != ENOENT)
        return false;
    return ::rename(from.constData(), to.constData()) == 0;
}

bool taken(const QString& path)
{
    struct stat info {};
    return ::lstat(native(path).constData(), &info) == 0 || errno != ENOENT;
}

} // namespace

Kind kindOf(const QString& path)
{
    struct stat info {};
    if (::stat(native(path).constData(), &info) == 0)
        return S_ISREG(info.st_mode) ? Kind::regular : Kind::other;
    if (errno != ENOENT)
        return Kind::unusable;
    // Nothing there: a store could be made only under a folder we may write to.
    QString above = QFileInfo(path).absolutePath();
    for (;;) {
        if (::stat(native(above).constData(), &info) == 0)
            return S_ISDIR(info.st_mode) && ::access(native(above).constData(), W_OK) == 0 ? Kind::missing
                                                                                          : Kind::unusable;
        if (errno != ENOENT || above == QStringLiteral("/"))
            return Kind::unusable;
        above = QFileInfo(above).absolutePath();
    }
}

bool makePrivateFolder(const QString& folder)
{
    const QString absolute = QFileInfo(folder).absoluteFilePath();
    QStringList missing;
    for (QString at = absolute; !QFileInfo::exists(at) && at != QStringLiteral("/"); at = QFileInfo(at).absolutePath())
        missing.prepend(at);
    for (const QString& at : missing) {
        if (::mkdir(native(at).constData(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    tighten(absolute, S_IFDIR);
    struct stat info {};
    return ::stat(native(absolute).constData(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool makePrivateFile(const QString& path)
{
    const int fd = ::open(native(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::fchmod(fd, 0600); // the umask may have taken the owner's bits too
        ::close(fd);
    } else if (errno != EEXIST) {
        return false;
    }
    if (kindOf(path) != Kind::regular)
        return false;
    // Links are not followed here: a store that is a link keeps its target's mode.
    tighten(path, S_IFREG);
    tighten(path + QStringLiteral("-wal"), S_IFREG);
    tighten(path + QStringLiteral("-shm"), S_IFREG);
    return true;
}

bool moveAside(const QString& path, const QString& stamp)
{
    const QStringList extras{QStringLiteral("-wal"), QStringLiteral("-shm")};
    QString target;
    for (int n = 1; n < 1000 && target.isEmpty(); ++n) {
        const QString candidate = path + QStringLiteral(".damaged-") + stamp +
            (n == 1 ? QString() : QStringLiteral("-%1").arg(n));
        if (taken(candidate) || taken(candidate + extras[0]) || taken(candidate + extras[1]))
            continue;
        if (renameNoReplace(native(path), native(candidate)))
            target = candidate;
        else if (errno != EEXIST)
            return false;
    }
    if (target.isEmpty())
        return false;
    tighten(target, S_IFREG);
    // The write-ahead log belongs to the damaged file. Left beside a new store it could be
    // replayed into it, so when it cannot follow it is removed.
    for (const QString& extra : extras) {
        if (!taken(path + extra))
            continue;
        if (renameNoReplace(native(path + extra), native(target + extra)))
            tighten(target + extra, S_IFREG);
        else
            ::unlink(native(path + extra).constData());
    }
    return true;
}

} // namespace tallyglass::storefile
