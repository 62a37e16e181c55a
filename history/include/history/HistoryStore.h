#pragma once
// The reading history: one SQLite file shared by every Tallyglass process of the user.
// One object per thread (a Qt SQL connection belongs to the thread that opened it).

#include "usage/UsageSnapshot.h"

#include <QString>
#include <vector>

namespace tallyglass {

class HistoryStore {
public:
    enum class Result { stored, skipped, failed };

    // Readings older than this are pruned.
    static constexpr double keepSeconds = 400 * 86400.0;
    // A reading equal to the one before it is stored again only after this long.
    static constexpr double repeatSeconds = 600;
    // How long a writer waits for another process's lock before giving up on its row.
    static constexpr int busyTimeoutMs = 5000;

    // $XDG_STATE_HOME/tallyglass/history.sqlite3, or ~/.local/state/tallyglass/history.sqlite3.
    static QString defaultPath();

    // Opens nothing yet; the file is opened (and created) on first use.
    explicit HistoryStore(QString path);
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // Adds the reading unless it repeats the one before it within repeatSeconds. Prunes
    // old readings at most once a day. A failed write (full disk, a lock held too long,
    // an unwritable folder) loses this row only.
    Result record(const UsageSnapshot& snapshot);
    // Readings with since <= receivedAt, oldest first. Empty when nothing can be read.
    std::vector<UsageSnapshot> readings(double since);
    // Deletes readings older than keepSeconds before `now`; false when it could not.
    bool prune(double now);

    QString path() const { return path_; }

private:
    bool open();
    void close();
    bool prepareSchema(int* code);
    bool moveAside();

    QString path_;
    QString connection_;
    bool open_ = false;
    double lastPrune_ = 0;
};

} // namespace tallyglass
