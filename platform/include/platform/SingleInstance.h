#pragma once
// Keeps one running copy per user session with a lock file. Main thread only.

#include <QLockFile>
#include <QString>
#include <memory>

namespace tallyglass {

class SingleInstance {
public:
    // Takes the lock in `directory` (created when missing); a lock left by a process
    // that no longer runs is taken over. Nothing when another copy holds it; an
    // instance without a lock when none can be made there.
    static std::unique_ptr<SingleInstance> acquire(const QString& directory);
    // $XDG_RUNTIME_DIR, or a private folder under the temporary directory.
    static QString runtimeDirectory();

    explicit SingleInstance(const QString& lockPath);
    // Holds no lock.
    SingleInstance() = default;
    bool isLocked() const { return lock_ && lock_->isLocked(); }

private:
    std::unique_ptr<QLockFile> lock_;
};

} // namespace tallyglass
