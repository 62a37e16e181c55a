#pragma once
// The tray's reading history: a HistoryStore on a thread of its own, so that SQLite's
// file work and lock waits never hold up the event loop. Created and used on the main thread.

#include "history/UsageHistory.h"

#include <QObject>
#include <QString>
#include <QThread>

namespace tallyglass {

class HistoryStore;

class HistoryRecorder : public UsageHistory {
public:
    explicit HistoryRecorder(const QString& path);
    // Waits for the writes already queued, then stops the thread.
    ~HistoryRecorder() override;

    void record(const UsageSnapshot& snapshot, const std::vector<LimitBucket>& otherLimits = {}) override;
    void load(double since, std::function<void(std::vector<UsageSnapshot>)> done) override;

private:
    QThread thread_;
    QObject* worker_; // lives on thread_; owns the store
    QObject receiver_; // lives on the main thread; loads are answered through it
    HistoryStore* store_ = nullptr; // touched only on thread_
};

} // namespace tallyglass
