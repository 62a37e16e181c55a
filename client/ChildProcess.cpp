#include "ChildProcess.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace tallyglass {

namespace {

// A pipe whose ends are close-on-exec and numbered 3 or above, so that the
// dup2 onto 0, 1 and 2 in the child never clobbers another end. 0 or the errno.
int makePipe(UniqueFd& readEnd, UniqueFd& writeEnd)
{
    int raw[2];
    if (::pipe2(raw, O_CLOEXEC) != 0)
        return errno;
    UniqueFd ends[2] {UniqueFd(raw[0]), UniqueFd(raw[1])};
    for (UniqueFd& end : ends) {
        if (end.get() < 3) {
            const int moved = ::fcntl(end.get(), F_DUPFD_CLOEXEC, 3);
            if (moved < 0)
                return errno;
            end.reset(moved);
        }
    }
    readEnd = std::move(ends[0]);
    writeEnd = std::move(ends[1]);
    return 0;
}

double monotonicNow()
{
    timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Whether a live (not zombie) process has `group` as its process group, from
// /proc/<pid>/stat: "<pid> (<comm>) <state> <ppid> <pgrp> ...".
bool liveProcessInGroup(pid_t group)
{
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return false;
    bool found = false;
    char path[300]; // "/proc/" + a directory name of up to 255 bytes + "/stat"
    char text[512];
    while (!found) {
        const dirent* entry = ::readdir(proc);
        if (!entry)
            break;
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9')
            continue;
        std::snprintf(path, sizeof path, "/proc/%s/stat", entry->d_name);
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        const ssize_t length = ::read(fd, text, sizeof text - 1);
        ::close(fd);
        if (length <= 0)
            continue;
        text[length] = '\0';
        // comm may hold spaces and parentheses; the fields resume after the last ')'.
        const char* close = std::strrchr(text, ')');
        if (!close || close[1] != ' ' || !close[2])
            continue;
        const char state = close[2];
        char* end = nullptr;
        std::strtol(close + 3, &end, 10); // ppid
        const long pgrp = std::strtol(end, nullptr, 10);
        found = pgrp == group && state != 'Z' && state != 'X';
    }
    ::closedir(proc);
    return found;
}

} // namespace

std::variant<std::unique_ptr<ChildProcess>, int> ChildProcess::spawn(const SpawnRequest& request)
{
    UniqueFd inRead, inWrite, outRead, outWrite, errRead, errWrite;
    for (auto [readEnd, writeEnd] : {std::pair {&inRead, &inWrite}, {&outRead, &outWrite}, {&errRead, &errWrite}})
        if (const int error = makePipe(*readEnd, *writeEnd))
            return error;

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
    posix_spawn_file_actions_adddup2(&actions, inRead.get(), 0);
    posix_spawn_file_actions_adddup2(&actions, outWrite.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, errWrite.get(), 2);
    if (!cwd.isEmpty())
        posix_spawn_file_actions_addchdir_np(&actions, cwd.constData());
    // Nothing of ours but the three pipes reaches the child.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    // The child starts with default signal handling and nothing blocked, whatever
    // this process ignores or this thread blocks (SIGPIPE, for one), and leads a new
    // process group (0: its own pid), which stopGroup signals as a whole.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t all, none;
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, exe.constData(), &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0)
        return rc;

    inRead.reset();
    outWrite.reset();
    errWrite.reset();
    ::fcntl(outRead.get(), F_SETFL, ::fcntl(outRead.get(), F_GETFL) | O_NONBLOCK);
    ::fcntl(errRead.get(), F_SETFL, ::fcntl(errRead.get(), F_GETFL) | O_NONBLOCK);

    std::unique_ptr<ChildProcess> child(new ChildProcess);
    child->pid_ = pid;
    child->stdin_ = std::move(inWrite);
    child->stdout_ = std::move(outRead);
    child->stderr_ = std::move(errRead);
    const long pidfd = ::syscall(SYS_pidfd_open, pid, 0);
    if (pidfd >= 0) {
        child->pidfd_.reset(int(pidfd));
        ::fcntl(child->pidfd_.get(), F_SETFD, FD_CLOEXEC);
    }
    return child;
}

ChildProcess::~ChildProcess() = default;

void ChildProcess::reap(int waitStatus)
{
    // With the leader reaped, its pid, and so the group id, may be reused once the
    // group is empty; a group found empty now is never signalled later.
    if (::kill(-pid_, 0) != 0 && errno == ESRCH)
        groupGone_ = true;
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

void ChildProcess::signalGroup(int signalNumber)
{
    if (isRunning()) {
        // An unreaped leader keeps its pid, and so the group id, from being reused.
        ::kill(-pid_, signalNumber);
        if (::getpgid(pid_) != pid_) // it has left its group; once is enough otherwise
            ::kill(pid_, signalNumber);
    } else if (!groupGone_ && groupHasLiveMembers()) {
        // A member still alive keeps the group id in use.
        ::kill(-pid_, signalNumber);
    }
}

bool ChildProcess::groupHasLiveMembers()
{
    if (groupGone_)
        return false;
    // Nothing at all, not even a zombie, is the cheap and common answer; zombies
    // (which PID 1 may be slow to reap) count for kill() but are no longer running.
    if (::kill(-pid_, 0) != 0 && errno == ESRCH) {
        groupGone_ = true;
        return false;
    }
    return liveProcessInGroup(pid_);
}

bool ChildProcess::waitForGroup(double seconds)
{
    const double deadline = monotonicNow() + seconds;
    for (;;) {
        const bool leaderRunning = isRunning();
        if (!leaderRunning && !groupHasLiveMembers())
            return true;
        const double left = deadline - monotonicNow();
        if (left <= 0)
            return false;
        const int ms = std::max(1, int(std::ceil(left * 1000)));
        if (leaderRunning && pidfd_) {
            pollfd p {pidfd_.get(), POLLIN, 0};
            ::poll(&p, 1, ms);
        } else {
            // The rest of the group are not our children and give no exit event: look every 10 ms.
            ::usleep(useconds_t(std::min(ms, 10)) * 1000);
        }
    }
}

void ChildProcess::stopGroup(double graceSeconds)
{
    if (pid_ <= 0)
        return;
    signalGroup(SIGTERM);
    if (waitForGroup(graceSeconds))
        return;
    signalGroup(SIGKILL);
    waitForGroup(graceSeconds);
}

bool ChildProcess::writeInput(QByteArrayView bytes)
{
    if (!stdin_)
        return false;
    const char* p = bytes.data();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(stdin_.get(), p, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EPIPE) {
                // The write raised SIGPIPE at this thread. Where it is blocked it stays
                // pending; take it back so that it never fires once unblocked.
                sigset_t pipeOnly, blocked, pending;
                sigemptyset(&pipeOnly);
                sigaddset(&pipeOnly, SIGPIPE);
                if (::pthread_sigmask(SIG_BLOCK, nullptr, &blocked) == 0 && sigismember(&blocked, SIGPIPE)
                    && ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE)) {
                    const timespec zero {};
                    ::sigtimedwait(&pipeOnly, nullptr, &zero);
                }
            }
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

void ChildProcess::closeInput()
{
    stdin_.reset();
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
