#pragma once
// One spawned child with three pipes. Used only on the client's work thread.
// QProcess can't report the spawn errno, can't keep a child running past its own
// destruction, and leaks inherited descriptors on Qt 6.4; hence posix_spawn here.
// The child leads a process group of its own, so that whatever it starts (the npm
// `codex` is a node launcher that runs the native binary as its child) can be ended
// with it.

#include "UniqueFd.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <sys/types.h>
#include <variant>

namespace tallyglass {

struct SpawnRequest {
    QString executable;          // absolute path, symbolic links not resolved
    QStringList arguments;       // without argv[0]
    QString workingDirectory;
    QByteArrayList environment;  // "NAME=value" entries
};

class ChildProcess {
public:
    // The running child, or the errno of the failed spawn or exec.
    static std::variant<std::unique_ptr<ChildProcess>, int> spawn(const SpawnRequest& request);

    ~ChildProcess(); // closes our pipe ends and the pidfd; never signals the child

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    int stdoutFd() const { return stdout_.get(); }
    int stderrFd() const { return stderr_.get(); }
    int exitFd() const { return pidfd_.get(); } // readable once the child has exited; -1 if unsupported

    // Reaps the child when it has exited; false from then on.
    bool isRunning();
    // Exit code, or the signal number for a child ended by a signal; set once reaped.
    std::optional<int> terminationStatus() const { return status_; }

    // Ends the child and whatever is left of its process group: SIGTERM to the group,
    // up to `graceSeconds` for all of it to go, then SIGKILL to the group and up to
    // `graceSeconds` more. Returns as soon as nothing of the group is left; also right
    // for a leader that already exited on its own (its leftovers get the same treatment).
    // Reaps the leader.
    void stopGroup(double graceSeconds = 1.0);

    // One blocking write of all bytes to the child's standard input; false when it
    // fails. A write to a child that has closed its input fails with EPIPE; the
    // SIGPIPE it raises is taken back when this thread blocks SIGPIPE.
    bool writeInput(QByteArrayView bytes);
    void closeInput();

    // Reads what is available now from a non-blocking read end; sets *eof at end of file.
    static QByteArray readAvailable(int fd, bool* eof);

private:
    ChildProcess() = default;
    void reap(int waitStatus);
    void signalGroup(int signalNumber);
    bool groupHasLiveMembers();
    bool waitForGroup(double seconds);

    pid_t pid_ = -1; // also the id of the child's process group
    UniqueFd stdin_;
    UniqueFd stdout_;
    UniqueFd stderr_;
    UniqueFd pidfd_;
    std::optional<int> status_;
    bool groupGone_ = false; // nothing of the group was left once the leader was reaped
};

} // namespace tallyglass
