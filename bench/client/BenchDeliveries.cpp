#include "bench/client/BenchDeliveries.h"

#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <ctime>

namespace tallyglass {

BenchDeliveries::BenchDeliveries(CodexAppServerClient& client)
{
    client.onSnapshot = [this](const UsageSnapshot&) { ++snapshots_; };
    client.onStatus = [this](const std::optional<QString>& text) {
        if (text)
            lastStatus_ = *text;
    };
}

bool BenchDeliveries::waitForSnapshot(int waitMs)
{
    const int target = snapshots_ + 1;
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.start(waitMs);
    while (snapshots_ < target && deadline.isActive())
        QEventLoop().processEvents(QEventLoop::WaitForMoreEvents);
    return snapshots_ >= target;
}

double processCpuSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

double wallSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

double median(std::vector<double> samples)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    const size_t middle = samples.size() / 2;
    return samples.size() % 2 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2;
}

} // namespace tallyglass
