#include "app/UsageSeries.h"

#include "usage/ResetTime.h"

#include <algorithm>
#include <cmath>

namespace tallyglass {

UsageSeries UsageSeries::of(std::span<const UsageSnapshot> readings, UsageWindowKind kind, double from, double now,
                            double to)
{
    const double past = now - from;
    // Lines start a little left of the chart, so that they enter it from its edge.
    const double firstPoint = from - past * 0.01;
    UsageSeries series;
    std::vector<ChartPoint> run;
    const auto endRun = [&] {
        if (!run.empty())
            series.runs.push_back(std::move(run));
        run.clear();
    };
    std::optional<double> runReset;
    for (const UsageSnapshot& reading : readings) {
        if (!std::isfinite(reading.receivedAt) || reading.receivedAt < from - past || reading.receivedAt > now)
            continue;
        const std::optional<UsageWindow>& w = windowOf(reading, kind);
        if (!w) {
            endRun();
            continue;
        }
        if (runReset && w->resetsAt && !isSameReset(*w->resetsAt, *runReset)) {
            endRun();
            series.resets.push_back(std::min(*runReset, reading.receivedAt));
        }
        if (w->resetsAt)
            runReset = w->resetsAt;
        const ChartPoint point{reading.receivedAt, double(w->usedPercent)};
        if (reading.receivedAt >= firstPoint)
            run.push_back(point);
        series.latest = point;
    }
    endRun();
    if (runReset && *runReset <= to)
        series.resets.push_back(*runReset); // the coming reset
    return series;
}

} // namespace tallyglass
