#pragma once
// Names one of the two windows of a snapshot. Pure; any thread.

#include "usage/UsageSnapshot.h"

#include <optional>

namespace tallyglass {

enum class UsageWindowKind { fiveHour, week };

inline const std::optional<UsageWindow>& windowOf(const UsageSnapshot& snapshot, UsageWindowKind kind)
{
    return kind == UsageWindowKind::fiveHour ? snapshot.fiveHour : snapshot.week;
}

} // namespace tallyglass
