#include "tests/client/ClientHarness.h"
#include "tests/client/StatusEvents.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QThread>
#include <pwd.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace tallyglass {

namespace {

QString windowText(const std::optional<UsageWindow>& window)
{
    if (!window)
        return QStringLiteral("none");
    const auto optionalText = [](const auto& value) {
        return value ? QString::number(static_cast<qint64>(*value)) : QStringLiteral("none");
    };
    return QString::number(window->usedPercent) + QLatin1Char('/') + optionalText(window->durationMinutes)
        + QLatin1Char('/') + optionalText(window->resetsAt);
}

} // namespace

ClientHarness::ClientHarness()
{
    qputenv("FAKE_CODEX_TRANSCRIPT", transcriptPath().toLocal8Bit());
    qputenv("FAKE_CODEX_SCENARIO", scenarioPath().toLocal8Bit());
    setScenario("{}");
}

ClientHarness::~ClientHarness()
{
    destroyClient();
}

QString ClientHarness::fakePath()
{
    return QStringLiteral(FAKE_CODEX_PATH);
}

QString ClientHarness::transcriptPath() const
{
    return dir_.filePath(QStringLiteral("transcript.txt"));
}

QString ClientHarness::scenarioPath() const
{
    return dir_.filePath(QStringLiteral("scenario.json"));
}

void ClientHarness::setScenario(const QByteArray& json)
{
    QFile file(scenarioPath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(json) != json.size())
        ADD_FAILURE() << "cannot write the scenario file " << scenarioPath().toStdString();
    if (!QJsonDocument::fromJson(json).isObject())
        ADD_FAILURE() << "scenario is not a JSON object: " << json.toStdString();
}

CodexAppServerClient& ClientHarness::createClient(const ClientOptions& options)
{
    destroyClient();
    std::optional<QString> executable = options.executable.value_or(fakePath());
    if (options.locate)
        executable.reset();
    client_ = std::make_unique<CodexAppServerClient>(executable, options.requestTimeout,
                                                     options.recoveryCooldown, [this] { return wallClock_.load(); });
    client_->onStatus = [this](const std::optional<QString>& text) {
        events_.append(text ? QStringLiteral("status:") + *text : QStringLiteral("status:null"));
    };
    // Every snapshot must come right after the allowance of the same reading.
    QObject::connect(client_.get(), &CodexAppServerClient::allowancePublished, client_.get(),
                     [this](const UsageAllowance&) { allowanceWaiting_ = true; });
    QObject::connect(client_.get(), &CodexAppServerClient::statusChanged, client_.get(),
                     [this](const std::optional<ClientStatus>&) { allowanceWaiting_ = false; });
    client_->onSnapshot = [this](const UsageSnapshot& snapshot) {
        const bool paired = std::exchange(allowanceWaiting_, false);
        events_.append((paired ? QStringLiteral("snapshot:") : QStringLiteral("snapshot without its allowance:"))
                       + format(snapshot));
    };
    return *client_;
}

void ClientHarness::destroyClient()
{
    if (!client_)
        return;
    client_->stop();
    client_.reset();
}

QString ClientHarness::format(const UsageSnapshot& snapshot)
{
    return QStringLiteral("5h=") + windowText(snapshot.fiveHour) + QStringLiteral(";week=") + windowText(snapshot.week);
}

QString ClientHarness::happySnapshot()
{
    return QStringLiteral("snapshot:5h=37/300/1893456000;week=12/10080/1894060800");
}

testing::AssertionResult ClientHarness::waitFor(const std::function<bool()>& condition, const QString& what,
                                                int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return testing::AssertionFailure() << "timed out after " << timeoutMs << " ms waiting for "
                                               << what.toStdString() << "\nevents so far:\n  "
                                               << events_.join(QStringLiteral("\n  ")).toStdString();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return testing::AssertionSuccess();
}

testing::AssertionResult ClientHarness::waitForEvent(const QString& event, int timeoutMs, qsizetype from)
{
    return waitFor([&] { return events_.indexOf(event, from) >= 0; }, QStringLiteral("event ") + event, timeoutMs);
}

testing::AssertionResult ClientHarness::waitForEventCount(qsizetype count, int timeoutMs)
{
    return waitFor([&] { return events_.size() >= count; }, QString::number(count) + QStringLiteral(" events"),
                   timeoutMs);
}

testing::AssertionResult ClientHarness::waitForTranscript(int child, const QString& kind, const QByteArray& payload,
                                                          int timeoutMs)
{
    const QString what = QStringLiteral("transcript line '%1 %2 %3'")
                             .arg(child)
                             .arg(kind, QString::fromUtf8(payload));
    return waitFor(
        [&] {
            for (const TranscriptLine& line : transcript(child))
                if (line.kind == kind && (payload.isEmpty() || line.payload == payload))
                    return true;
            return false;
        },
        what, timeoutMs);
}

void ClientHarness::settle(int ms)
{
    const QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    QCoreApplication::processEvents();
}

testing::AssertionResult ClientHarness::barrier(int timeoutMs)
{
    const int child = childCount();
    const auto allReceived = [&] {
        QList<QByteArray> lines;
        for (const TranscriptLine& line : transcript(child))
            if (line.kind == QStringLiteral("in"))
                lines.append(line.payload);
        return lines;
    };
    const qsizetype eventsBefore = events_.size();
    const qsizetype linesBefore = allReceived().size();
    client_->refresh();
    testing::AssertionResult arrived = waitForEvent(happySnapshot(), timeoutMs, eventsBefore);
    if (!arrived)
        return arrived << "\n(the barrier's refresh of child " << child << ")";

    const QStringList own = events::happyRefresh();
    if (events_.size() - eventsBefore < own.size() || events_.mid(events_.size() - own.size()) != own)
        return testing::AssertionFailure() << "the barrier's refresh did not end with a cycle of its own:\n  "
                                           << events_.mid(eventsBefore).join(QStringLiteral("\n  ")).toStdString();
    const QList<QByteArray> added = allReceived().mid(linesBefore);
    QStringList methods;
    for (const QByteArray& line : added)
        methods.append(QJsonDocument::fromJson(line).object().value(QStringLiteral("method")).toString());
    const QStringList cycle = {QStringLiteral("account/read"), QStringLiteral("account/rateLimits/read"),
                               QStringLiteral("account/read")};
    if (methods != cycle)
        return testing::AssertionFailure() << "child " << child << " received other requests during the barrier: "
                                           << methods.join(QStringLiteral(", ")).toStdString();
    events_.remove(events_.size() - own.size(), own.size());
    barrierLines_ += added;
    return testing::AssertionSuccess();
}

void ClientHarness::drain()
{
    if (client_)
        client_->stop();
    deliverQueued();
}

void ClientHarness::deliverQueued()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

namespace {

// What the descriptor link names, such as "pipe:[123]" (QFile would make it a path).
QByteArray linkText(const QString& path)
{
    char target[256] = {};
    const ssize_t length = ::readlink(path.toLocal8Bit().constData(), target, sizeof target - 1);
    return length > 0 ? QByteArray(target, length) : QByteArray();
}

} // namespace

testing::AssertionResult ClientHarness::waitUntilOutputRead(int child, int timeoutMs)
{
    const qint64 pid = pidFromPayload(firstPayload(child, QStringLiteral("start")));
    const QByteArray pipe = linkText(QStringLiteral("/proc/%1/fd/1").arg(pid));
    if (pid <= 0 || !pipe.startsWith("pipe:"))
        return testing::AssertionFailure() << "child " << child << " has no standard output pipe";
    // Our read end of the same pipe; FIONREAD says how much of it is still unread.
    int readEnd = -1;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString& entry : fds.entryList(QDir::Files | QDir::System))
        if (linkText(fds.filePath(entry)) == pipe)
            readEnd = entry.toInt();
    if (readEnd < 0)
        return testing::AssertionFailure() << "the client holds no read end of " << pipe.toStdString();
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        int unread = 0;
        if (::ioctl(readEnd, FIONREAD, &unread) != 0 || unread == 0)
            return testing::AssertionSuccess();
        if (deadline.hasExpired())
            return testing::AssertionFailure() << unread << " bytes of child " << child << " still unread after "
                                               << timeoutMs << " ms";
        QThread::msleep(2);
    }
}

QList<TranscriptLine> ClientHarness::transcript() const
{
    QList<TranscriptLine> lines;
    QFile file(transcriptPath());
    if (!file.open(QIODevice::ReadOnly))
        return lines;
    const QByteArray text = file.readAll();
    for (QByteArray raw : text.split('\n')) {
        if (raw.isEmpty())
            continue;
        const qsizetype firstSpace = raw.indexOf(' ');
        const qsizetype secondSpace = raw.indexOf(' ', firstSpace + 1);
        TranscriptLine line;
        line.child = raw.left(firstSpace).toInt();
        line.kind = QString::fromUtf8(secondSpace < 0 ? raw.mid(firstSpace + 1)
                                                      : raw.mid(firstSpace + 1, secondSpace - firstSpace - 1));
        line.payload = secondSpace < 0 ? QByteArray() : raw.mid(secondSpace + 1);
        lines.append(line);
    }
    return lines;
}

QList<TranscriptLine> ClientHarness::transcript(int child) const
{
    QList<TranscriptLine> lines;
    for (const TranscriptLine& line : transcript())
        if (line.child == child)
            lines.append(line);
    return lines;
}

int ClientHarness::childCount() const
{
    int count = 0;
    for (const TranscriptLine& line : transcript())
        if (line.kind == QStringLiteral("start"))
            ++count;
    return count;
}

QList<QByteArray> ClientHarness::receivedLines(int child) const
{
    QList<QByteArray> lines;
    for (const TranscriptLine& line : transcript(child))
        if (line.kind == QStringLiteral("in") && !barrierLines_.contains(line.payload))
            lines.append(line.payload);
    return lines;
}

QList<QJsonObject> ClientHarness::received(int child) const
{
    QList<QJsonObject> objects;
    for (const QByteArray& line : receivedLines(child)) {
        const QJsonDocument document = QJsonDocument::fromJson(line);
        if (!document.isObject())
            ADD_FAILURE() << "child " << child << " received a line that is not a JSON object: " << line.toStdString();
        objects.append(document.object());
    }
    return objects;
}

QStringList ClientHarness::receivedMethods(int child) const
{
    QStringList methods;
    for (const QJsonObject& message : received(child))
        methods.append(message.value(QStringLiteral("method")).toString());
    return methods;
}

std::optional<QByteArray> ClientHarness::firstPayload(int child, const QString& kind) const
{
    for (const TranscriptLine& line : transcript(child))
        if (line.kind == kind)
            return line.payload;
    return std::nullopt;
}

QStringList childProcessesOfThisProcess()
{
    QStringList children;
    const QByteArray ownPid = QByteArray::number(::getpid());
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        QFile stat(QStringLiteral("/proc/") + entry + QStringLiteral("/stat"));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // "<pid> (<comm>) <state> <ppid> ..."; comm may hold spaces, so split after the last ')'.
        const QByteArray text = stat.readAll();
        const qsizetype close = text.lastIndexOf(')');
        if (close < 0)
            continue;
        const QList<QByteArray> fields = text.mid(close + 2).split(' ');
        if (fields.size() >= 2 && fields[1] == ownPid)
            children.append(entry + QLatin1Char(' ') + QString::fromLatin1(fields[0]));
    }
    return children;
}

namespace {

// Fields of /proc/<pid>/stat after "<pid> (<comm>) ": state, ppid, pgrp, ...
QList<QByteArray> statFields(const QString& pid)
{
    QFile stat(QStringLiteral("/proc/") + pid + QStringLiteral("/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close < 0 ? QList<QByteArray>() : text.mid(close + 2).split(' ');
}

} // namespace

QStringList liveProcessesInGroup(qint64 group)
{
    QStringList members;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        const QList<QByteArray> fields = statFields(entry);
        if (fields.size() >= 3 && fields[2].toLongLong() == group && fields[0] != "Z")
            members.append(entry + QLatin1Char(' ') + QString::fromLatin1(fields[0]));
    }
    return members;
}

bool isLiveProcess(qint64 pid)
{
    const QList<QByteArray> fields = statFields(QString::number(pid));
    return !fields.isEmpty() && fields[0] != "Z";
}

qint64 pidFromPayload(const std::optional<QByteArray>& payload)
{
    return payload && payload->startsWith("pid ") ? payload->mid(4).toLongLong() : 0;
}

int openDescriptorCount()
{
    // Listing /proc/self/fd opens one descriptor of its own, the same each time.
    return static_cast<int>(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

QString passwordDatabaseHome()
{
    const passwd* entry = ::getpwuid(::getuid());
    return entry && entry->pw_dir ? QString::fromLocal8Bit(entry->pw_dir) : QString();
}

QJsonObject parseObject(const QByteArray& json)
{
    const QJsonDocument document = QJsonDocument::fromJson(json);
    if (!document.isObject())
        ADD_FAILURE() << "not a JSON object: " << json.toStdString();
    return document.object();
}

} // namespace tallyglass
