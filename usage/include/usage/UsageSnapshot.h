#pragma once
// Plain values that carry usage figures from the client to the tray; safe to copy across threads.

#include <cstdint>
#include <optional>

namespace tallyglass {

// One rate-limit window: how much is used, how long it is, when it resets.
struct UsageWindow {
    std::int64_t usedPercent;
    std::optional<std::int64_t> durationMinutes;
    std::optional<double> resetsAt; // seconds since 1970-01-01T00:00:00Z

    // 100 - usedPercent, clamped to 0...100; computed on every read.
    std::int64_t remainingPercent() const
    {
        if (usedPercent <= 0)
            return 100;
        if (usedPercent >= 100)
            return 0;
        return 100 - usedPercent;
    }

    friend bool operator==(const UsageWindow&, const UsageWindow&) = default;
};

// The two windows the application shows, and when the payload was parsed.
struct UsageSnapshot {
    std::optional<UsageWindow> fiveHour; // durationMinutes == 300
    std::optional<UsageWindow> week;     // durationMinutes == 10080
    double receivedAt;                   // seconds since 1970-01-01T00:00:00Z

    friend bool operator==(const UsageSnapshot&, const UsageSnapshot&) = default;
};

} // namespace tallyglass
