#include "platform/RegularFile.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyglass {

bool RegularFile::isRegularOrAbsent(const QString& path)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return errno == ENOENT;
    return S_ISREG(info.st_mode);
}

std::optional<QByteArray> RegularFile::read(const QString& path, qint64 maxBytes)
{
    // O_NONBLOCK: a FIFO put there between a check and the open must not stall us either.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    struct stat info {};
    std::optional<QByteArray> contents;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= maxBytes) {
        QByteArray bytes;
        char chunk[16384];
        for (;;) {
            const ssize_t count = ::read(fd, chunk, sizeof chunk);
            if (count < 0 && errno == EINTR)
                continue;
            if (count < 0 || bytes.size() + count > maxBytes)
                break;
            if (count == 0) {
                contents = std::move(bytes);
                break;
            }
            bytes.append(chunk, count);
        }
    }
    ::close(fd);
    return contents;
}

} // namespace tallyglass
