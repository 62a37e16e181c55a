#pragma once
// What the tray needs of the reading history. Main thread only.

#include "usage/UsageAllowance.h"
#include "usage/UsageSnapshot.h"

#include <functional>
#include <vector>

namespace tallyglass {

class UsageHistory {
public:
    virtual ~UsageHistory() = default;
    // Returns at once; the reading, with the other buckets read with it, is written later.
    virtual void record(const UsageSnapshot& snapshot, const std::vector<LimitBucket>& otherLimits = {}) = 0;
    // The stored readings with since <= receivedAt, oldest first, handed to `done` later on
    // the calling thread (empty when there are none or the store cannot be read).
    virtual void load(double since, std::function<void(std::vector<UsageSnapshot>)> done) = 0;
};

} // namespace tallyglass
