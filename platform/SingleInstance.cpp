#include "platform/SingleInstance.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <unistd.h>

namespace tallyglass {

SingleInstance::SingleInstance(const QString& lockPath)
    : lock_(std::make_unique<QLockFile>(lockPath))
{
    // Only a dead owner makes a lock stale, never its age: the first copy runs for days.
    lock_->setStaleLockTime(0);
    lock_->tryLock(0);
}

std::unique_ptr<SingleInstance> SingleInstance::acquire(const QString& directory)
{
    // Without a place for the lock, running unguarded beats not running at all.
    if (!QDir().mkpath(directory))
        return std::make_unique<SingleInstance>();
    auto instance = std::make_unique<SingleInstance>(directory + QStringLiteral("/tallyglass.lock"));
    if (!instance->isLocked() && instance->lock_->error() == QLockFile::LockFailedError)
        return nullptr;
    return instance;
}

QString SingleInstance::runtimeDirectory()
{
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    // Qt would warn on the terminal about the missing variable; choose the same kind of place quietly.
    const QString directory = QDir::tempPath() + QStringLiteral("/tallyglass-%1").arg(::getuid());
    QDir().mkpath(directory);
    QFile::setPermissions(directory, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return directory;
}

} // namespace tallyglass
