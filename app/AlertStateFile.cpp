#include "app/AlertStateFile.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyglass {
namespace {

// Far more than any real state; a bigger file is not ours.
constexpr qsizetype maxBytes = 64 * 1024;

std::optional<AlertState::Window> windowFrom(const QJsonValue& value)
{
    const QJsonObject o = value.toObject();
    const QJsonValue percent = o.value(QLatin1String("percent"));
    const QJsonValue resetsAt = o.value(QLatin1String("resetsAt"));
    if (!percent.isDouble() || percent.toDouble() != std::trunc(percent.toDouble()) || percent.toDouble() < 1
        || percent.toDouble() > 100 || !(resetsAt.isDouble() || resetsAt.isNull()))
        return std::nullopt;
    AlertState::Window window{std::nullopt, percent.toInt()};
    if (resetsAt.isDouble())
        window.resetsAt = resetsAt.toDouble();
    return window;
}

QJsonValue toJson(const std::optional<AlertState::Window>& window)
{
    if (!window)
        return QJsonValue::Null;
    return QJsonObject{
        {QStringLiteral("resetsAt"), window->resetsAt ? QJsonValue(*window->resetsAt) : QJsonValue::Null},
        {QStringLiteral("percent"), window->percent},
    };
}

QByteArray readRegularFile(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return {};
    QByteArray bytes;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= maxBytes) {
        bytes.resize(qsizetype(st.st_size));
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
    }
    ::close(fd);
    return bytes;
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

} // namespace

AlertState AlertStateFile::read() const
{
    if (path_.isEmpty())
        return {};
    const QJsonObject o = QJsonDocument::fromJson(readRegularFile(path_)).object();
    AlertState state;
    state.fiveHour = windowFrom(o.value(QLatin1String("fiveHour")));
    state.week = windowFrom(o.value(QLatin1String("week")));
    for (const QJsonValue& id : o.value(QLatin1String("expiringCredits")).toArray())
        if (id.isString())
            state.expiringCredits.push_back(id.toString());
    return state;
}

void AlertStateFile::write(const AlertState& state) const
{
    if (path_.isEmpty())
        return;
    QJsonArray credits;
    for (const QString& id : state.expiringCredits)
        credits.append(id);
    const QByteArray bytes = QJsonDocument(QJsonObject{
                                               {QStringLiteral("fiveHour"), toJson(state.fiveHour)},
                                               {QStringLiteral("week"), toJson(state.week)},
                                               {QStringLiteral("expiringCredits"), credits},
                                           })
                                 .toJson(QJsonDocument::Compact);

    const QString folder = QFileInfo(path_).path();
    if (!QFileInfo::exists(folder)) {
        QDir().mkpath(QFileInfo(folder).path());
        ::mkdir(QFile::encodeName(folder).constData(), 0700);
    }
    QByteArray temp = QFile::encodeName(path_) + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC); // 0600 whatever the umask
    if (fd < 0)
        return;
    const bool written = writeAll(fd, bytes) && ::fsync(fd) == 0;
    ::close(fd);
    if (!written || ::rename(temp.constData(), QFile::encodeName(path_).constData()) != 0)
        ::unlink(temp.constData());
}

} // namespace tallyglass
