#pragma once
// Keeps one running copy per user: an flock on a file in a folder that is the user's own.
// Main thread only.

#include <QString>
#include <memory>

namespace tallyglass {

class SingleInstance {
public:
    // Locks `directory`/tallyglass.lock, making the folder (0700) when it is missing.
    // Nothing when another copy holds the lock; an instance without a lock when none can be
    // made there (empty `directory` included). The lock of an image that called
    // keepAcrossExec() and then exec'd this one is taken over.
    static std::unique_ptr<SingleInstance> acquire(const QString& directory);
    // The folder for the lock, the same for every copy of a user whatever the environment
    // says: $XDG_RUNTIME_DIR when it is the user's own, else `systemRuntime`/<uid> when that
    // is, else `temporary`/tallyglass-<uid>, made when missing. The user's own: an absolute
    // path to a folder, not a link, owned by the user and closed to everyone else. Empty
    // when none of them is.
    static QString lockDirectory(const QString& systemRuntime = QStringLiteral("/run/user"),
                                 const QString& temporary = QStringLiteral("/tmp"));

    // Holds no lock.
    SingleInstance() = default;
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    bool isLocked() const { return fd_ >= 0; }
    // Keeps the lock held through an execv() of this process, for the new image's
    // acquire() to take over; nothing else can take it in between.
    void keepAcrossExec();

private:
    explicit SingleInstance(int fd)
        : fd_(fd)
    {
    }

    int fd_ = -1;
};

} // namespace tallyglass
