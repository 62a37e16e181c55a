#pragma once
// The reading history: one SQLite file shared by every Tallyglass process of the user.
// One object per thread (a Qt SQL connection belongs to the thread that opened it).

#include "usage/UsageAllowance.h"
#include "usage/UsageSnapshot.h"

#include <QString>
#include <optional>
#include <vector>

namespace tallyglass {

// One stored reading: the codex bucket's windows and the other buckets read with them.
struct StoredReading {
    UsageSnapshot snapshot;
    std::vector<LimitBucket> otherLimits; // in the order they were recorded

    friend bool operator==(const StoredReading&, const StoredReading&) = default;
};

class HistoryStore {
public:
    enum class Result { stored, skipped, failed };
    enum class Access {
        readWrite, // creates, migrates and, when damaged, moves the file aside
        readOnly,  // only reads: never creates, changes, migrates or moves anything
    };

    // The rows carry this limit id for the codex bucket itself.
    static constexpr auto codexLimitId = "codex";
    // The layout this code writes (PRAGMA user_version). A file of a later version is
    // only read; an earlier one is migrated on the first read-write open.
    static constexpr int schemaVersion = 1;
    // Readings older than this are pruned.
    static constexpr double keepSeconds = 400 * 86400.0;
    // A reading equal to the one before it is stored again only after this long.
    static constexpr double repeatSeconds = 600;
    // How long a writer waits for another process's lock before giving up on its row.
    static constexpr int busyTimeoutMs = 5000;

    // $XDG_STATE_HOME/tallyglass/history.sqlite3, or ~/.local/state/tallyglass/history.sqlite3;
    // empty when no home folder is known.
    static QString defaultPath();

    // Opens nothing yet; the file is opened (and, read-write, created) on first use.
    explicit HistoryStore(QString path, Access access = Access::readWrite);
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // Adds the reading unless it repeats the one before it (every bucket alike) within
    // repeatSeconds. Prunes old readings at most once a day. A failed write (full disk, a
    // lock held too long, an unwritable folder, a file of a later version) loses this row only.
    Result record(const UsageSnapshot& snapshot, const std::vector<LimitBucket>& otherLimits = {});
    // The codex bucket's readings with since <= receivedAt, oldest first. Empty when
    // nothing can be read.
    std::vector<UsageSnapshot> readings(double since);
    // Every bucket of the readings with since <= receivedAt, oldest first. Empty when
    // there is no store yet; nothing when there is one that cannot be read.
    std::optional<std::vector<StoredReading>> storedReadings(double since);
    // Deletes readings older than keepSeconds before `now`; false when it could not.
    bool prune(double now);

    QString path() const { return path_; }

private:
    enum class Opened { yes, missing, no };
    Opened open();
    void close();
    bool prepareSchema(int* code);
    bool migrate(int* code);
    bool moveAside();
    std::optional<std::vector<StoredReading>> select(const QString& where, double since);

    QString path_;
    Access access_;
    QString connection_;
    bool open_ = false;
    int version_ = 0;       // of the open file
    double lastPrune_ = 0;
};

} // namespace tallyglass
