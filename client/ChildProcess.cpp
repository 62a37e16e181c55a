#include "client/ChildProcess.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace tallyglass {

namespace {

void closeFd(int& fd)
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// A pipe whose ends are close-on-exec and numbered 3 or above, so that the
// dup2 onto 0, 1 and 2 in the child never clobbers another end.
bool makePipe(int ends[2])
{
    int raw[2];
    if (::pipe2(raw, O_CLOEXEC) != 0)
        return false;
    for (int i = 0; i < 2; ++i) {
        if (raw[i] < 3) {
            const int moved = ::fcntl(raw[i], F_DUPFD_CLOEXEC, 3);
            const int saved = errno;
            ::close(raw[i]);
            if (moved < 0) {
                if (i == 0)
                    ::close(raw[1]);
                else
                    ::close(ends[0]);
                errno = saved;
                return false;
            }
            raw[i] = moved;
        }
        ends[i] = raw[i];
    }
    return true;
}

double monotonicNow()
{
    timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

} // namespace

std::variant<std::unique_ptr<ChildProcess>, int> ChildProcess::spawn(const SpawnRequest& request)
{
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    auto closeAll = [&] {
        for (int* p : {in, out, err})
            for (int i = 0; i < 2; ++i)
                closeFd(p[i]);
    };
    if (!makePipe(in) || !makePipe(out) || !makePipe(err)) {
        const int saved = errno;
        closeAll();
        return saved;
    }

    const QByteArray exe = request.executable.toLocal8Bit();
    const QByteArray cwd = request.workingDirectory.toLocal8Bit();
    QByteArrayList args;
    args << exe;
    for (const QString& a : request.arguments)
        args << a.toLocal8Bit();
    std::vector<char*> argv;
    for (QByteArray& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    QByteArrayList envCopy = request.environment;
    std::vector<char*> envp;
    for (QByteArray& e : envCopy)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    if (!cwd.isEmpty())
        posix_spawn_file_actions_addchdir_np(&actions, cwd.constData());
    // Nothing of ours but the three pipes reaches the child.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    // The child starts with default signal handling (we ignore SIGPIPE) and nothing blocked.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t all, none;
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, exe.constData(), &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        closeAll();
        return rc;
    }

    closeFd(in[0]);
    closeFd(out[1]);
    closeFd(err[1]);
    ::fcntl(out[0], F_SETFL, ::fcntl(out[0], F_GETFL) | O_NONBLOCK);
    ::fcntl(err[0], F_SETFL, ::fcntl(err[0], F_GETFL) | O_NONBLOCK);

    std::unique_ptr<ChildProcess> child(new ChildProcess);
    child->pid_ = pid;
    child->stdin_ = in[1];
    child->stdout_ = out[0];
    child->stderr_ = err[0];
    const long pidfd = ::syscall(SYS_pidfd_open, pid, 0);
    if (pidfd >= 0) {
        child->pidfd_ = int(pidfd);
        ::fcntl(child->pidfd_, F_SETFD, FD_CLOEXEC);
    }
    return child;
}

ChildProcess::~ChildProcess()
{
    closeFd(stdin_);
    closeFd(stdout_);
    closeFd(stderr_);
    closeFd(pidfd_);
}

void ChildProcess::reap(int waitStatus)
{
    if (WIFEXITED(waitStatus))
        status_ = WEXITSTATUS(waitStatus);
    else if (WIFSIGNALED(waitStatus))
        status_ = WTERMSIG(waitStatus);
    else
        status_ = waitStatus;
}

bool ChildProcess::isRunning()
{
    if (status_)
        return false;
    int ws = 0;
    const pid_t r = ::waitpid(pid_, &ws, WNOHANG);
    if (r == pid_) {
        reap(ws);
        return false;
    }
    if (r < 0 && errno == ECHILD) { // reaped elsewhere; nothing left to wait for
        status_ = -1;
        return false;
    }
    return true;
}

void ChildProcess::terminate()
{
    if (isRunning())
        ::kill(pid_, SIGTERM);
}

void ChildProcess::kill()
{
    if (isRunning())
        ::kill(pid_, SIGKILL);
}

bool ChildProcess::waitForExit(double seconds)
{
    const double deadline = monotonicNow() + seconds;
    while (isRunning()) {
        const double left = deadline - monotonicNow();
        if (left <= 0)
            return false;
        const int ms = std::max(1, int(left * 1000));
        if (pidfd_ >= 0) {
            pollfd p {pidfd_, POLLIN, 0};
            ::poll(&p, 1, ms);
        } else {
            ::usleep(useconds_t(std::min(ms, 10)) * 1000);
        }
    }
    return true;
}

void ChildProcess::stopGroup(double graceSeconds)
{
    terminate();
    if (!waitForExit(graceSeconds)) {
        kill();
        waitForExit(graceSeconds);
    }
}

bool ChildProcess::writeInput(QByteArrayView bytes)
{
    if (stdin_ < 0)
        return false;
    const char* p = bytes.data();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(stdin_, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

void ChildProcess::closeInput()
{
    closeFd(stdin_);
}

QByteArray ChildProcess::readAvailable(int fd, bool* eof)
{
    *eof = false;
    QByteArray out;
    std::array<char, 65536> chunk;
    // Bounded per call so one chatty child cannot starve the thread; the
    // notifier fires again for what is left.
    for (int round = 0; round < 16; ++round) {
        const ssize_t n = ::read(fd, chunk.data(), chunk.size());
        if (n > 0) {
            out.append(chunk.data(), n);
            continue;
        }
        if (n == 0)
            *eof = true;
        else if (errno == EINTR)
            continue;
        else if (errno != EAGAIN && errno != EWOULDBLOCK)
            *eof = true;
        return out;
    }
    return out;
}

} // namespace tallyglass
