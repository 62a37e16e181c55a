// Peak resident memory of tallyglass-status. Prints its figures; exits non-zero only
// when a run could not be made.
//
// Against the real Codex CLI (with the local backend double) the program runs in
// --watch mode; after several readings its own high-water mark (VmHWM in
// /proc/<pid>/status) is read before SIGTERM. A one-shot run against the fake
// app-server is measured with wait4(): that figure is the larger of the program and
// the children it reaped, so it is an upper bound for the program itself.

#include "tests/doubles/fake-backend/FakeBackend.h"
#include "tests/doubles/fake-backend/FakeCodexHome.h"

#include <QByteArray>
#include <QDateTime>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <cerrno>
#include <fcntl.h>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

struct Spawned {
    pid_t pid = -1;
    int output = -1;
};

Spawned spawnStatus(const QStringList& arguments, const QStringList& environment)
{
    Spawned result;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

    std::vector<QByteArray> storage;
    storage.push_back(QByteArray(TALLYGLASS_STATUS_PATH));
    for (const QString& argument : arguments)
        storage.push_back(argument.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& item : storage)
        argv.push_back(item.data());
    argv.push_back(nullptr);
    std::vector<QByteArray> envStorage;
    for (const QString& item : environment)
        envStorage.push_back(item.toLocal8Bit());
    std::vector<char*> envp;
    for (QByteArray& item : envStorage)
        envp.push_back(item.data());
    envp.push_back(nullptr);

    if (posix_spawn(&result.pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
        result.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    result.output = fds[0];
    return result;
}

// Reads the program's output until it holds `count` snapshot lines or `waitMs` passed.
bool readSnapshots(int fd, int count, int waitMs, QByteArray* output)
{
    const qint64 deadline = QDateTime::currentMSecsSinceEpoch() + waitMs;
    while (output->count("\"snapshot\"") < count) {
        const qint64 left = deadline - QDateTime::currentMSecsSinceEpoch();
        if (left <= 0)
            return false;
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, int(left)) <= 0)
            continue;
        char buffer[4096];
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0)
            return false;
        output->append(buffer, got);
    }
    return true;
}

long statusKilobytes(pid_t pid, const char* field)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

long finish(Spawned& spawned, int signalNumber)
{
    if (signalNumber)
        ::kill(spawned.pid, signalNumber);
    char buffer[4096];
    while (::read(spawned.output, buffer, sizeof buffer) > 0) {
    }
    ::close(spawned.output);
    rusage usage {};
    int status = 0;
    while (::wait4(spawned.pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    return usage.ru_maxrss;
}

QStringList environmentWith(const QString& binDirectory, const QString& codexHome)
{
    QStringList environment;
    for (char** item = environ; *item; ++item) {
        const QString entry = QString::fromLocal8Bit(*item);
        if (!entry.startsWith(QLatin1String("PATH=")) && !entry.startsWith(QLatin1String("CODEX_HOME=")))
            environment.append(entry);
    }
    environment.append(QStringLiteral("PATH=") + binDirectory + QStringLiteral(":/usr/bin:/bin"));
    if (!codexHome.isEmpty())
        environment.append(QStringLiteral("CODEX_HOME=") + codexHome);
    return environment;
}

double megabytes(long kilobytes)
{
    return double(kilobytes) / 1024.0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const bool smoke = app.arguments().contains(QStringLiteral("--smoke"));
    const int readings = smoke ? 2 : 6;
    int failures = 0;

    // One-shot against the fake app-server.
    {
        QTemporaryDir bin;
        QFile::link(QStringLiteral(FAKE_CODEX_PATH), QDir(bin.path()).filePath(QStringLiteral("codex")));
        Spawned run = spawnStatus({}, environmentWith(bin.path(), QString()));
        QByteArray output;
        const bool ok = run.pid > 0 && readSnapshots(run.output, 1, 30000, &output);
        const long maxRss = run.pid > 0 ? finish(run, 0) : -1;
        if (ok)
            std::printf("one-shot against fake-codex: max RSS of the program and its reaped child %.1f MB "
                        "(upper bound; target <= 15 MB)\n",
                        megabytes(maxRss));
        else
            ++failures, std::printf("one-shot against fake-codex: no snapshot\n");
    }

    // --watch against the real CLI.
    if (!QFileInfo(QStringLiteral(CODEX_CLI_PATH)).isExecutable()) {
        std::printf("the Codex CLI is missing at %s; run npm ci --prefix tests/system/codex-cli\n", CODEX_CLI_PATH);
        return 1;
    }
    QProcess backend;
    backend.start(QStringLiteral(FAKE_BACKEND_PATH), {QStringLiteral("both")});
    if (!backend.waitForReadyRead(30000)) {
        std::printf("the backend double did not start\n");
        backend.kill();
        backend.waitForFinished(5000);
        return 1;
    }
    const QString baseUrl = QString::fromUtf8(backend.readLine()).trimmed();
    QTemporaryDir bin;
    QTemporaryDir codexHome;
    QFile::link(QStringLiteral(CODEX_CLI_PATH), QDir(bin.path()).filePath(QStringLiteral("codex")));
    tallyglass::FakeCodexHome::writeChatGpt(codexHome.path(), tallyglass::FakeBackend::Config().accountId, baseUrl);
    Spawned run = spawnStatus({QStringLiteral("--watch"), QStringLiteral("0.5")},
                              environmentWith(bin.path(), codexHome.path()));
    QByteArray output;
    const bool ok = run.pid > 0 && readSnapshots(run.output, readings, 60000, &output);
    const long hwm = run.pid > 0 ? statusKilobytes(run.pid, "VmHWM:") : -1;
    const long maxRss = run.pid > 0 ? finish(run, SIGTERM) : -1;
    if (ok) {
        std::printf("--watch against the real CLI, %d readings: peak RSS (VmHWM) of tallyglass-status %.1f MB "
                    "(target <= 15 MB)\n",
                    readings, megabytes(hwm));
        std::printf("  for comparison, max RSS of it and its reaped codex children: %.1f MB\n", megabytes(maxRss));
    } else {
        ++failures;
        std::printf("--watch against the real CLI: fewer than %d readings; its output ended with\n%s\n", readings,
                    output.right(1000).constData());
    }
    backend.closeWriteChannel();
    backend.waitForFinished(5000);
    return failures ? 1 : 0;
}
