#pragma once
// The readings of the last week, oldest first: the ones stored before this run and the
// ones received since, for the forecast and the history window. Main thread only.

#include "usage/UsageSnapshot.h"

#include <span>
#include <vector>

namespace tallyglass {

class RecentReadings {
public:
    // How far back readings are kept: the history window's longest chart.
    static constexpr double keptSeconds = 7 * 86400.0;

    // Stored readings, oldest first; they may arrive after received ones, which are newer.
    void addStored(std::vector<UsageSnapshot> stored);
    // A new reading; readings older than keptSeconds before `now` go.
    void add(const UsageSnapshot& reading, double now);

    std::span<const UsageSnapshot> readings() const { return readings_; }

private:
    std::vector<UsageSnapshot> readings_;
};

} // namespace tallyglass
