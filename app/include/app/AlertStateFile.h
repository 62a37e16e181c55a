#pragma once
// Keeps the notifications' state across restarts in a small JSON file of the state
// folder, so a notification already shown is not shown again by the next run. Main thread only.

#include "app/UsageAlerts.h"

#include <QString>

namespace tallyglass {

class AlertStateFile {
public:
    // An empty path keeps nothing.
    explicit AlertStateFile(QString path) : path_(std::move(path)) {}

    // The stored state; an empty one when there is none, or the file is damaged or not
    // a regular file (a FIFO or a device in its place never blocks).
    AlertState read() const;
    // Replaces the file at once (a new 0600 file renamed over the path, so a crash leaves
    // the old or the new state, and a link in its place is replaced, not followed).
    // Failure loses only this state: the notifications may show once more.
    void write(const AlertState& state) const;

private:
    QString path_;
};

} // namespace tallyglass
