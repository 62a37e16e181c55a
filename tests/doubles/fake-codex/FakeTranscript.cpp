#include "tests/doubles/fake-codex/FakeTranscript.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace tallyglass {

namespace {

void writeAll(int fd, const char* data, qsizetype size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(size));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        data += written;
        size -= written;
    }
}

} // namespace

FakeTranscript::FakeTranscript(const QString& path)
{
    if (path.isEmpty())
        return;
    childNumber_ = nextChildNumber(path + QStringLiteral(".count"));
    fd_ = ::open(path.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

FakeTranscript::~FakeTranscript()
{
    if (fd_ >= 0)
        ::close(fd_);
}

int FakeTranscript::nextChildNumber(const QString& counterPath)
{
    const int fd = ::open(counterPath.toLocal8Bit().constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return 1;
    ::flock(fd, LOCK_EX);
    char buffer[32] = {};
    const ssize_t got = ::pread(fd, buffer, sizeof buffer - 1, 0);
    const int number = (got > 0 ? std::atoi(buffer) : 0) + 1;
    const QByteArray text = QByteArray::number(number);
    // A counter that could not be written only makes the next child reuse the number.
    if (::ftruncate(fd, 0) == 0 && ::pwrite(fd, text.constData(), static_cast<size_t>(text.size()), 0) < 0)
        std::perror("fake-codex: transcript counter");
    ::flock(fd, LOCK_UN);
    ::close(fd);
    return number;
}

void FakeTranscript::record(const char* kind, const QByteArray& payload) const
{
    if (fd_ < 0)
        return;
    QByteArray line = QByteArray::number(childNumber_) + ' ' + kind;
    if (!payload.isEmpty())
        line += ' ' + payload;
    line += '\n';
    writeAll(fd_, line.constData(), line.size());
}

void FakeTranscript::prepareSignalLine(const char* kind)
{
    signalLineLength_ = std::snprintf(signalLine_, sizeof signalLine_, "%d %s\n", childNumber_, kind);
}

void FakeTranscript::recordFromSignal() const
{
    if (fd_ >= 0 && signalLineLength_ > 0)
        writeAll(fd_, signalLine_, signalLineLength_);
}

} // namespace tallyglass
