// fake-codex: a scriptable stand-in for `codex app-server` used by the tests.
#include "tests/doubles/fake-codex/FakeScenario.h"
#include "tests/doubles/fake-codex/FakeServer.h"
#include "tests/doubles/fake-codex/FakeTranscript.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <limits.h>
#include <unistd.h>

using namespace tallyglass;

namespace {

FakeTranscript* signalTranscript = nullptr;
bool ignoreSigterm = false;

void onSigterm(int)
{
    if (signalTranscript)
        signalTranscript->recordFromSignal();
    if (!ignoreSigterm) {
        std::signal(SIGTERM, SIG_DFL);
        std::raise(SIGTERM);
    }
}

// Descriptors other than 0, 1 and 2 that this process inherited, as "<fd>=<target>".
QJsonArray inheritedDescriptors()
{
    QJsonArray list;
    DIR* directory = ::opendir("/proc/self/fd");
    if (!directory)
        return list;
    const int own = ::dirfd(directory);
    while (const dirent* entry = ::readdir(directory)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd <= 2 || fd == own)
            continue;
        char target[PATH_MAX] = {};
        const QByteArray link = QByteArray("/proc/self/fd/") + entry->d_name;
        const ssize_t length = ::readlink(link.constData(), target, sizeof target - 1);
        list.append(QString::number(fd) + QLatin1Char('=') + QString::fromLocal8Bit(target, std::max<ssize_t>(length, 0)));
    }
    ::closedir(directory);
    return list;
}

// A child of the fake that stays in its process group, ignores SIGTERM and holds
// the inherited standard output and error open, like a helper a launcher leaves
// behind. It lives at most a minute, so a failed test leaves nothing for long.
pid_t startGrandchild()
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::signal(SIGTERM, SIG_IGN);
        ::alarm(60);
        for (;;)
            ::pause();
    }
    return pid;
}

QByteArray compactArray(const QJsonArray& array)
{
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

} // namespace

int main(int argc, char* argv[])
{
    // Taken before anything else opens a file, so only inherited descriptors show.
    const QJsonArray descriptors = inheritedDescriptors();

    if (argc < 2 || std::string_view(argv[1]) != "app-server") {
        std::fprintf(stderr, "usage: %s app-server\n", argv[0]);
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);

    QCoreApplication application(argc, argv);
    FakeTranscript transcript(qEnvironmentVariable("FAKE_CODEX_TRANSCRIPT"));
    transcript.record("start", "pid " + QByteArray::number(::getpid()));
    QJsonArray arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    transcript.record("argv", compactArray(arguments));
    char cwd[PATH_MAX] = {};
    transcript.record("cwd", ::getcwd(cwd, sizeof cwd) ? QByteArray(cwd) : QByteArray("<unknown>"));
    const char* path = std::getenv("PATH");
    transcript.record("path", path ? QByteArray(path) : QByteArray("<unset>"));
    transcript.record("fds", compactArray(descriptors));

    QString problem;
    const auto scenario = FakeScenario::load(qEnvironmentVariable("FAKE_CODEX_SCENARIO"), transcript.childNumber(), &problem);
    if (!scenario) {
        std::fprintf(stderr, "fake-codex: %s\n", qPrintable(problem));
        transcript.record("exit", "3");
        return 3;
    }

    if (scenario->startsGrandchild())
        transcript.record("grandchild", "pid " + QByteArray::number(startGrandchild()));

    ignoreSigterm = scenario->ignoresSigterm();
    transcript.prepareSignalLine("sigterm");
    signalTranscript = &transcript;
    struct sigaction action {};
    action.sa_handler = onSigterm;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);

    FakeServer server(*scenario, transcript);
    server.start();
    return QCoreApplication::exec();
}
