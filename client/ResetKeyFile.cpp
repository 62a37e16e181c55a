#include "ResetKeyFile.h"

#include "UniqueFd.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyglass {

namespace {

constexpr qsizetype kMostBytes = 4096; // a request is a few dozen bytes

// QFile would follow a link and block on a FIFO; these calls do neither.
std::optional<ResetRequest> readRequest(int fd)
{
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kMostBytes)
        return std::nullopt;
    QByteArray bytes(kMostBytes, Qt::Uninitialized);
    qsizetype got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + got, size_t(bytes.size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += n;
    }
    bytes.truncate(got);
    const QJsonObject object = QJsonDocument::fromJson(bytes).object();
    const QJsonValue key = object.value(QLatin1String("idempotencyKey"));
    const QJsonValue credit = object.value(QLatin1String("creditId"));
    if (!key.isString() || key.toString().isEmpty() || !(credit.isUndefined() || credit.isString()))
        return std::nullopt;
    return ResetRequest {key.toString(), credit.isString() ? std::optional(credit.toString()) : std::nullopt};
}

bool writeAll(int fd, const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// Written to a fresh file beside `path` and renamed over it: the key is there whole or
// not at all, and a rename replaces a link put there meanwhile instead of following it.
bool writeRequest(const QString& path, const ResetRequest& request)
{
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder))
        return false;
    QJsonObject object {{QStringLiteral("idempotencyKey"), request.idempotencyKey}};
    if (request.creditId)
        object.insert(QStringLiteral("creditId"), *request.creditId);
    const QByteArray bytes = QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';

    QByteArray temporary = QFile::encodeName(path) + ".XXXXXX";
    UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC)); // mode 0600
    if (!fd)
        return false;
    const bool written = ::fchmod(fd.get(), S_IRUSR | S_IWUSR) == 0 && writeAll(fd.get(), bytes)
        && ::fsync(fd.get()) == 0;
    fd.reset();
    if (!written || ::rename(temporary.constData(), QFile::encodeName(path).constData()) != 0) {
        ::unlink(temporary.constData());
        return false;
    }
    // The rename itself lasts once the folder is on disk too.
    if (UniqueFd dir(::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); dir)
        ::fsync(dir.get());
    return true;
}

} // namespace

std::optional<ResetRequest> ResetKeyFile::loadOrCreate(const QString& path, const std::optional<QString>& creditId)
{
    const QByteArray name = QFile::encodeName(path);
    UniqueFd fd(::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd)
        return readRequest(fd.get());
    if (errno != ENOENT)
        return std::nullopt; // a link (ELOOP), or a file we may not read
    const ResetRequest request {QUuid::createUuid().toString(QUuid::WithoutBraces), creditId};
    if (!writeRequest(path, request))
        return std::nullopt;
    return request;
}

void ResetKeyFile::remove(const QString& path)
{
    ::unlink(QFile::encodeName(path).constData());
}

} // namespace tallyglass
