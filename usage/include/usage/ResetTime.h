#pragma once
// Whether two reported reset times name the same reset of a window. Pure; any thread.

#include <cmath>

namespace tallyglass {

// Each reading reports its window's reset time afresh, and the same reset can come back
// a few seconds off; times up to a minute apart are the same reset, reported twice.
inline constexpr double sameResetSeconds = 60;

inline bool isSameReset(double a, double b)
{
    return std::abs(a - b) <= sameResetSeconds;
}

} // namespace tallyglass
