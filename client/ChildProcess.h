#pragma once
// One spawned child with three pipes. Used only on the client's work thread.
// QProcess can't report the spawn errno, can't keep a child running past its own
// destruction, and leaks inherited descriptors on Qt 6.4; hence posix_spawn here.

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

    pid_t pid() const { return pid_; }
    int stdoutFd() const { return stdout_; }
    int stderrFd() const { return stderr_; }
    int exitFd() const { return pidfd_; } // readable once the child has exited; -1 if unsupported

    // Reaps the child when it has exited; false from then on.
    bool isRunning();
    // Exit code, or the signal number for a child ended by a signal; set once reaped.
    std::optional<int> terminationStatus() const { return status_; }

    void terminate(); // SIGTERM
    void kill();      // SIGKILL
    // Waits up to `seconds` for the child to exit; true when it has.
    bool waitForExit(double seconds);
    // Ends the child and whatever is left of its process group: SIGTERM to the group,
    // up to `graceSeconds` for all of it to go, then SIGKILL to the group and up to
    // `graceSeconds` more. Returns as soon as nothing of the group is left; also right
    // for a leader that already exited on its own. Reaps the leader.
    void stopGroup(double graceSeconds = 1.0);

    // One blocking write of all bytes to the child's standard input.
    bool writeInput(QByteArrayView bytes);
    void closeInput();
    bool hasInput() const { return stdin_ >= 0; }

    // Reads what is available now from a non-blocking read end; sets *eof at end of file.
    static QByteArray readAvailable(int fd, bool* eof);

private:
    ChildProcess() = default;
    void reap(int waitStatus);

    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    int stderr_ = -1;
    int pidfd_ = -1;
    std::optional<int> status_;
};

} // namespace tallyglass
