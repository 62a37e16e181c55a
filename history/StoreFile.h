#pragma once
// The history file and its folder as the file system sees them: kept private to the user,
// a regular file only, and a damaged one moved aside by renaming alone. Plain functions; any thread.

#include <QString>

namespace tallyglass::storefile {

enum class Kind {
    missing,   // nothing there, and the nearest existing folder above could hold it
    regular,   // a regular file (links followed)
    other,     // a folder, a FIFO, a device...: never opened, so nothing can block on it
    unusable,  // cannot be looked at, or no store could ever be made there
};

// What is at `path`, found without opening it.
Kind kindOf(const QString& path);

// Creates the missing folders up to `folder` with mode 0700 and takes group and other
// access away from `folder` itself. False when it is not a folder afterwards.
bool makePrivateFolder(const QString& folder);

// Creates the store (mode 0600, whatever the umask) when nothing is there, and takes group
// and other access away from it and its -wal and -shm. False when the store is not a
// regular file. SQLite gives a -wal and -shm it creates the mode of the store.
bool makePrivateFile(const QString& path);

// Renames the store to "<path>.damaged-<stamp>", or with "-2", "-3"... when a name is
// taken (a dangling link counts as taken), then its -wal and -shm after it. Only
// rename(2): never a copy. False, with everything left in place, when the store
// cannot be renamed.
bool moveAside(const QString& path, const QString& stamp);

} // namespace tallyglass::storefile
