#include "platform/SingleInstance.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyglass {
namespace {

// Names the descriptor that an exec'ing image left open for the next one.
constexpr const char* handOverVariable = "TALLYGLASS_INSTANCE_LOCK_FD";

bool isOwnPrivateFolder(const QString& path)
{
    if (!QDir::isAbsolutePath(path))
        return false;
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode)
        && info.st_uid == ::getuid() && (info.st_mode & 077) == 0;
}

bool sameFile(int a, int b)
{
    struct stat first {}, second {};
    return ::fstat(a, &first) == 0 && ::fstat(b, &second) == 0 && first.st_dev == second.st_dev
        && first.st_ino == second.st_ino;
}

// The descriptor named by the hand-over variable, when it is still a lock on `fd`'s file.
int handedOverLock(int fd)
{
    const QByteArray named = qgetenv(handOverVariable);
    // Not for the processes we start.
    qunsetenv(handOverVariable);
    bool number = false;
    const int inherited = named.toInt(&number);
    if (!number || inherited < 0 || inherited == fd || !sameFile(inherited, fd)
        || ::flock(inherited, LOCK_EX | LOCK_NB) != 0)
        return -1;
    ::fcntl(inherited, F_SETFD, FD_CLOEXEC);
    return inherited;
}

} // namespace

std::unique_ptr<SingleInstance> SingleInstance::acquire(const QString& directory)
{
    // Without a place for the lock, running unguarded beats not running at all.
    if (directory.isEmpty())
        return std::make_unique<SingleInstance>();
    ::mkdir(QFile::encodeName(directory).constData(), 0700);
    const QByteArray path = QFile::encodeName(directory + QStringLiteral("/tallyglass.lock"));
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0)
        return std::make_unique<SingleInstance>();
    if (const int inherited = handedOverLock(fd); inherited >= 0) {
        ::close(fd);
        return std::unique_ptr<SingleInstance>(new SingleInstance(inherited));
    }
    // flock, not a lock file with a process id: the kernel drops it when the holder ends,
    // so no lock is ever stale, and a descriptor kept open across exec keeps it held.
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        // For whoever looks: the holder's process id.
        const QByteArray pid = QByteArray::number(::getpid()) + '\n';
        if (::ftruncate(fd, 0) == 0)
            [[maybe_unused]] const ssize_t written = ::pwrite(fd, pid.constData(), size_t(pid.size()), 0);
        return std::unique_ptr<SingleInstance>(new SingleInstance(fd));
    }
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK)
        return nullptr;
    return std::make_unique<SingleInstance>();
}

QString SingleInstance::lockDirectory(const QString& systemRuntime, const QString& temporary)
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (isOwnPrivateFolder(runtime))
        return QDir::cleanPath(runtime);
    const QString system = systemRuntime + u'/' + QString::number(::getuid());
    if (isOwnPrivateFolder(system))
        return system;
    // Anyone may make this name first; it serves only when it is ours.
    const QString fallback = temporary + QStringLiteral("/tallyglass-") + QString::number(::getuid());
    ::mkdir(QFile::encodeName(fallback).constData(), 0700);
    return isOwnPrivateFolder(fallback) ? fallback : QString();
}

SingleInstance::~SingleInstance()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void SingleInstance::keepAcrossExec()
{
    if (fd_ < 0)
        return;
    ::fcntl(fd_, F_SETFD, 0);
    qputenv(handOverVariable, QByteArray::number(fd_));
}

} // namespace tallyglass
