#pragma once
// Records what a client delivers and waits for it with a bounded local event loop.
// Main thread only (the thread of the application's event loop).

#include "client/CodexAppServerClient.h"

#include <QString>
#include <optional>
#include <vector>

namespace tallyglass {

class BenchDeliveries {
public:
    explicit BenchDeliveries(CodexAppServerClient& client);

    // Runs the event loop until a snapshot arrives after this call or `waitMs` passes;
    // false on time-out (the last status text is in lastStatus()).
    bool waitForSnapshot(int waitMs);
    int snapshots() const { return snapshots_; }
    QString lastStatus() const { return lastStatus_; }

private:
    int snapshots_ = 0;
    QString lastStatus_;
};

// CPU time of this whole process (all its threads, no children), in seconds.
double processCpuSeconds();
// Monotonic wall time in seconds.
double wallSeconds();
// The median of the samples (the mean of the middle two for an even count); 0 for none.
double median(std::vector<double> samples);

} // namespace tallyglass
