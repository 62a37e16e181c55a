#include "history/Forecast.h"

#include "usage/ResetTime.h"

#include <cmath>
#include <vector>

namespace tallyglass {
namespace {

struct Point {
    double at;
    double used;
};

} // namespace

std::optional<Exhaustion> Forecast::exhaustion(std::span<const UsageSnapshot> readings, UsageWindowKind kind,
                                               double now)
{
    // Walk back from the newest reading up to `now` while the reset time stays the same.
    std::vector<Point> points; // newest first
    std::optional<double> resetsAt;
    for (auto it = readings.rbegin(); it != readings.rend(); ++it) {
        const std::optional<UsageWindow>& w = windowOf(*it, kind);
        if (it->receivedAt > now || !std::isfinite(it->receivedAt))
            continue;
        if (!w || !w->resetsAt)
            break;
        if (!resetsAt)
            resetsAt = w->resetsAt;
        else if (!isSameReset(*w->resetsAt, *resetsAt))
            break;
        points.push_back({it->receivedAt, double(w->usedPercent)});
    }
    if (points.size() < std::size_t(minReadings))
        return std::nullopt;
    const Point& latest = points.front();
    const Point& first = points.back();
    if (latest.at - first.at < minSpanSeconds || latest.used <= first.used || latest.used >= 100)
        return std::nullopt;

    // Least squares over the recent readings, times taken relative to the latest one.
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (const Point& p : points) {
        if (latest.at - p.at > paceSeconds(kind))
            break;
        const double x = p.at - latest.at;
        n += 1;
        sx += x;
        sy += p.used;
        sxx += x * x;
        sxy += x * p.used;
    }
    const double spread = n * sxx - sx * sx;
    if (n < 2 || spread <= 0)
        return std::nullopt;
    const double slope = (n * sxy - sx * sy) / spread; // percent per second
    if (!(slope > 0))
        return std::nullopt;
    const double at = latest.at + (100 - latest.used) / slope;
    if (!std::isfinite(at) || at >= *resetsAt)
        return std::nullopt;
    return Exhaustion{latest.at, latest.used, at};
}

} // namespace tallyglass
