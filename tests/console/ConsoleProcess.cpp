#include "tests/console/ConsoleProcess.h"

#include "client/CodexLocator.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tallyglass {

QStringList ConsoleRun::statuses() const
{
    QStringList result;
    for (const QJsonObject& line : lines) {
        if (line.contains(QLatin1String("status"))) {
            const QJsonValue value = line.value(QLatin1String("status"));
            result.append(value.isNull() ? QStringLiteral("null") : value.toString());
        }
    }
    return result;
}

QString ConsoleRun::describe() const
{
    return QStringLiteral("exit code %1 (finished %2, crashed %3)\n--- stdout\n%4--- stderr\n%5--- codex left behind: "
                          "%6\n--- other orphans: %7")
        .arg(exitCode)
        .arg(finished)
        .arg(crashed)
        .arg(QString::fromUtf8(out), QString::fromUtf8(err.right(4000)), leftovers.join(QStringLiteral(", ")),
             otherOrphans.join(QStringLiteral(", ")));
}

ConsoleProcess::ConsoleProcess(const QString& codexTarget)
    : codexTarget_(codexTarget)
{
    if (!bin_.isValid()) {
        problem_ = QStringLiteral("no temporary directory");
        return;
    }
    if (!QFileInfo(codexTarget).isExecutable()) {
        problem_ = QStringLiteral("%1 is not an executable file").arg(codexTarget);
        return;
    }
    if (!QFile::link(codexTarget, QDir(bin_.path()).filePath(QStringLiteral("codex")))) {
        problem_ = QStringLiteral("cannot link codex to %1").arg(codexTarget);
        return;
    }
    const QStringList present = fixedCandidatesPresent();
    if (!present.isEmpty()) {
        problem_ = QStringLiteral("a codex at %1 would be found before the one on PATH; "
                                  "remove it to run these tests")
                       .arg(present.join(QStringLiteral(", ")));
        return;
    }
    environment_ = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"CODEX_HOME", "OPENAI_API_KEY", "CODEX_API_KEY", "HTTP_PROXY", "HTTPS_PROXY",
                             "ALL_PROXY", "http_proxy", "https_proxy", "all_proxy", "FAKE_CODEX_SCENARIO",
                             "FAKE_CODEX_TRANSCRIPT"})
        environment_.remove(QString::fromLatin1(name));
    environment_.insert(QStringLiteral("NO_PROXY"), QStringLiteral("127.0.0.1,localhost"));
    environment_.insert(QStringLiteral("PATH"), bin_.path() + QStringLiteral(":/usr/bin:/bin"));
    environment_.insert(QStringLiteral("XDG_STATE_HOME"), state_.path());
    valid_ = true;
}

QStringList ConsoleProcess::fixedCandidatesPresent()
{
    QStringList present;
    const QStringList fixed = CodexLocator::candidates(CodexLocator::homeDirectory(), std::nullopt);
    for (const QString& path : fixed) {
        if (QFileInfo::exists(path) || QFileInfo(path).isSymLink())
            present.append(path);
    }
    return present;
}

ConsoleRun ConsoleProcess::run(const QStringList& arguments, int waitMs)
{
    startDetached(arguments);
    return wait(waitMs);
}

void ConsoleProcess::startDetached(const QStringList& arguments)
{
    delete process_;
    process_ = new QProcess;
    process_->setProcessEnvironment(environment_);
    if (!outputFile_.isEmpty())
        process_->setStandardOutputFile(outputFile_);
    out_.clear();
    process_->start(QStringLiteral(TALLYGLASS_STATUS_PATH), arguments);
    process_->waitForStarted(10000);
}

qint64 ConsoleProcess::processId() const
{
    return process_ ? process_->processId() : 0;
}

void ConsoleProcess::sendSignal(int signalNumber)
{
    if (process_ && process_->processId() > 0)
        ::kill(static_cast<pid_t>(process_->processId()), signalNumber);
}

bool ConsoleProcess::waitForOutput(const QByteArray& needle, int count, int waitMs)
{
    QDeadlineTimer deadline(waitMs);
    while (process_) {
        out_ += process_->readAllStandardOutput();
        if (out_.count(needle) >= count)
            return true;
        if (deadline.hasExpired() || process_->state() == QProcess::NotRunning)
            return false;
        process_->waitForReadyRead(int(qMin<qint64>(deadline.remainingTime(), 200)));
    }
    return false;
}

ConsoleRun ConsoleProcess::wait(int waitMs)
{
    ConsoleRun result;
    if (!process_)
        return result;
    result.finished = process_->waitForFinished(waitMs);
    if (!result.finished) {
        process_->kill();
        process_->waitForFinished(5000);
    }
    result.crashed = process_->exitStatus() == QProcess::CrashExit;
    result.exitCode = process_->exitCode();
    result.out = out_ + process_->readAllStandardOutput();
    out_.clear();
    result.err = process_->readAllStandardError();
    for (const QByteArray& line : result.out.split('\n')) {
        if (line.isEmpty())
            continue;
        const QJsonDocument document = QJsonDocument::fromJson(line);
        if (document.isObject())
            result.lines.append(document.object());
        else
            result.allLinesAreObjects = false;
    }
    delete process_;
    process_ = nullptr;
    const Orphans orphans = killOrphans(codexTarget_);
    result.leftovers = orphans.codex;
    result.otherOrphans = orphans.others;
    return result;
}

bool ConsoleProcess::becomeSubreaper()
{
    return ::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
}

ConsoleProcess::Orphans ConsoleProcess::killOrphans(const QString& codexTarget)
{
    Orphans orphans;
    const QString self = QString::number(::getpid());
    const QString codexExe = QFileInfo(codexTarget).canonicalFilePath();
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool isPid = false;
        const pid_t pid = entry.toInt(&isPid);
        if (!isPid)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // pid (comm) state ppid ...; comm may hold spaces, so read after the last ')'.
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() < 2 || fields[1] != self.toLatin1())
            continue;
        const qsizetype open = text.indexOf('(');
        const QString name = QString::fromUtf8(text.mid(open + 1, text.lastIndexOf(')') - open - 1));
        const QString exe = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(entry));
        const QString description =
            QStringLiteral("%1 %2 %3 (state %4)").arg(entry, name, exe, QString::fromLatin1(fields[0]));
        // The console runs codex through a link named codex, so that is its name; a
        // zombie has no exe link left but keeps the name.
        if (name == QLatin1String("codex") || (!codexExe.isEmpty() && exe == codexExe))
            orphans.codex.append(description);
        else
            orphans.others.append(description);
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    return orphans;
}

} // namespace tallyglass
