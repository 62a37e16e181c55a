#pragma once
// One reading as published: the codex bucket's two windows and everything else the same
// rate-limit answer said. The two travel together so that nothing can separate them.
// Plain value; any thread.

#include "usage/UsageAllowance.h"
#include "usage/UsageSnapshot.h"

namespace tallyglass {

struct PublishedReading {
    UsageSnapshot snapshot;
    UsageAllowance allowance;
};

} // namespace tallyglass
