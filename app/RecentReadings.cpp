#include "app/RecentReadings.h"

#include <algorithm>

namespace tallyglass {

void RecentReadings::addStored(std::vector<UsageSnapshot> stored)
{
    stored.insert(stored.end(), readings_.begin(), readings_.end());
    readings_ = std::move(stored);
}

void RecentReadings::add(const UsageSnapshot& reading, double now)
{
    readings_.push_back(reading);
    const double oldest = now - keptSeconds;
    readings_.erase(readings_.begin(), std::ranges::find_if(readings_, [oldest](const UsageSnapshot& r) {
                        return r.receivedAt >= oldest;
                    }));
}

} // namespace tallyglass
