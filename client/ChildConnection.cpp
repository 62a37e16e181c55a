#include "ChildConnection.h"

#include "client/CodexLocator.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QSocketNotifier>
#include <optional>

extern char** environ;

namespace tallyglass {

namespace {

constexpr qsizetype kErrorTailBytes = 8192;
const QByteArray kPathPrefix = QByteArrayLiteral("PATH=");

// The executable as an absolute path; symbolic links are deliberately not resolved.
QString absoluteWithoutResolving(const QString& path)
{
    if (QDir::isAbsolutePath(path))
        return path;
    return QDir::currentPath() + QLatin1Char('/') + path;
}

// Our environment with PATH replaced by: the directory of the executable, the usual
// install places, then our own PATH. Read from environ, not QProcessEnvironment, which
// would re-encode values that are not valid in the locale's encoding.
QByteArrayList childEnvironment(const QString& absoluteExecutable)
{
    QByteArrayList env;
    std::optional<QByteArray> ownPath;
    for (char** e = environ; e && *e; ++e) {
        const QByteArray entry(*e);
        if (entry.startsWith(kPathPrefix)) {
            if (!ownPath)
                ownPath = entry.mid(kPathPrefix.size());
            continue;
        }
        env << entry;
    }
    const qsizetype slash = absoluteExecutable.lastIndexOf(QLatin1Char('/'));
    const QString directory = slash > 0 ? absoluteExecutable.left(slash) : QStringLiteral("/");
    env << kPathPrefix + directory.toLocal8Bit() + ":/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:"
            + ownPath.value_or(QByteArray());
    return env;
}

} // namespace

std::variant<ChildConnection*, int> ChildConnection::launch(const QString& executable, Events events,
                                                           double requestTimeoutSeconds)
{
    const QString absolute = absoluteWithoutResolving(executable);
    const SpawnRequest request {absolute, {QStringLiteral("app-server")}, CodexLocator::homeDirectory(),
                                childEnvironment(absolute)};
    auto spawned = ChildProcess::spawn(request);
    if (const int* error = std::get_if<int>(&spawned))
        return *error;
    return new ChildConnection(std::move(std::get<std::unique_ptr<ChildProcess>>(spawned)), std::move(events),
                               requestTimeoutSeconds);
}

ChildConnection::ChildConnection(std::unique_ptr<ChildProcess> process, Events events,
                                 double requestTimeoutSeconds)
    : AppServerConnection(std::move(events), requestTimeoutSeconds)
    , process_(std::move(process))
    , outputNotifier_(new QSocketNotifier(process_->stdoutFd(), QSocketNotifier::Read, this))
    , errorNotifier_(new QSocketNotifier(process_->stderrFd(), QSocketNotifier::Read, this))
{
    connect(outputNotifier_, &QSocketNotifier::activated, this, &ChildConnection::readOutput);
    connect(errorNotifier_, &QSocketNotifier::activated, this, &ChildConnection::readErrors);
    if (process_->exitFd() >= 0) {
        exitNotifier_ = new QSocketNotifier(process_->exitFd(), QSocketNotifier::Read, this);
        connect(exitNotifier_, &QSocketNotifier::activated, this, &ChildConnection::childExited);
    } else {
        // Without pidfd support, look for the exit a few times a second.
        connect(&exitPoll_, &QTimer::timeout, this, [this] {
            if (!process_->isRunning())
                childExited();
        });
        exitPoll_.start(100);
    }
    deadline_.setSingleShot(true);
    deadline_.setTimerType(Qt::PreciseTimer);
    connect(&deadline_, &QTimer::timeout, this, &ChildConnection::expireOverdue);
}

bool ChildConnection::writeLine(const QByteArray& line)
{
    return process_->writeInput(line);
}

qint64 ChildConnection::nowMs() const
{
    return QDeadlineTimer::current(Qt::PreciseTimer).deadline();
}

void ChildConnection::deadlinesChanged()
{
    // One timer for the earliest deadline; an idle connection has none running.
    const std::optional<qint64> next = pending().nextDeadline();
    if (!next) {
        deadline_.stop();
        return;
    }
    deadline_.start(int(std::max<qint64>(0, *next - nowMs())));
}

void ChildConnection::readOutput()
{
    if (isClosed())
        return;
    bool eof = false;
    const QByteArray bytes = ChildProcess::readAvailable(process_->stdoutFd(), &eof);
    if (eof)
        outputNotifier_->setEnabled(false); // the exit watcher reports the end of the child
    receive(bytes);
}

void ChildConnection::readErrors()
{
    if (isClosed())
        return;
    bool eof = false;
    errorTail_.append(ChildProcess::readAvailable(process_->stderrFd(), &eof));
    if (eof)
        errorNotifier_->setEnabled(false);
    if (errorTail_.size() > kErrorTailBytes)
        errorTail_.remove(0, errorTail_.size() - kErrorTailBytes);
}

void ChildConnection::childExited()
{
    if (isClosed())
        return;
    if (exitNotifier_)
        exitNotifier_->setEnabled(false);
    exitPoll_.stop();
    process_->isRunning(); // reaps
    // Take in what the child wrote before it went, so its last answers are handled and
    // the whole tail of its standard error is searched. A grandchild that still holds
    // the pipes cannot make this wait: both reads take only what is there now.
    if (outputNotifier_->isEnabled())
        readOutput();
    if (isClosed())
        return;
    if (errorNotifier_->isEnabled())
        readErrors();
    reportEnd(ClientStatus::childExited(process_->terminationStatus().value_or(-1), errorTail_));
}

void ChildConnection::shutDown()
{
    outputNotifier_->setEnabled(false);
    errorNotifier_->setEnabled(false);
    if (exitNotifier_)
        exitNotifier_->setEnabled(false);
    exitPoll_.stop();
    deadline_.stop();
    process_->closeInput();
    process_->stopGroup(1.0);
    // Give the descriptors back now rather than when this object is deleted later. A
    // child that outlived even SIGKILL keeps its handle, so that it can still be reaped.
    if (!process_->isRunning())
        process_.reset();
}

} // namespace tallyglass
