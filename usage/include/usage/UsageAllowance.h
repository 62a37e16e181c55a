#pragma once
// Everything an account/rateLimits/read answer says beyond the codex bucket's two
// windows: other buckets, credits, why usage is blocked, a spend-control limit and the
// banked resets. Each part is absent when the answer left it out or sent it malformed;
// enum-like values are kept as sent. Plain values; safe to copy across threads.

#include "usage/UsageSnapshot.h"

#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

namespace tallyglass {

// A rate-limit bucket other than codex, e.g. a model-specific quota.
struct LimitBucket {
    QString id;   // limitId ("codex_bengalfox")
    QString name; // limitName, else the id: what the menu shows
    std::optional<UsageWindow> fiveHour;
    std::optional<UsageWindow> week;

    friend bool operator==(const LimitBucket&, const LimitBucket&) = default;
};

struct Credits {
    bool hasCredits = false;
    bool unlimited = false;
    std::optional<QString> balance; // as sent ("125.5")

    friend bool operator==(const Credits&, const Credits&) = default;
};

// A spend-control limit set for this user (individualLimit).
struct SpendControl {
    std::optional<std::int64_t> remainingPercent;
    std::optional<double> resetsAt; // seconds since 1970
    std::optional<QString> used;    // as sent
    std::optional<QString> limit;   // as sent

    friend bool operator==(const SpendControl&, const SpendControl&) = default;
};

// One banked reset of the rate limits.
struct ResetCredit {
    QString id;
    std::optional<QString> resetType;
    std::optional<QString> status;
    std::optional<double> grantedAt; // seconds since 1970
    std::optional<double> expiresAt; // seconds since 1970; absent: does not expire or unknown
    std::optional<QString> title;
    std::optional<QString> description;

    friend bool operator==(const ResetCredit&, const ResetCredit&) = default;
};

struct ResetCredits {
    std::int64_t availableCount = 0;
    // Absent when only the count is known.
    std::optional<std::vector<ResetCredit>> credits;

    friend bool operator==(const ResetCredits&, const ResetCredits&) = default;
};

struct UsageAllowance {
    std::vector<LimitBucket> otherLimits; // sorted by name
    // Of the codex bucket.
    std::optional<Credits> credits;
    std::optional<QString> plan;    // planType, as sent
    std::optional<QString> reached; // rateLimitReachedType, as sent ("rate_limit_reached", ...)
    std::optional<SpendControl> spendControl;
    // Of the whole answer.
    std::optional<ResetCredits> resetCredits;
    std::optional<bool> ordinaryUsageAllowed;

    friend bool operator==(const UsageAllowance&, const UsageAllowance&) = default;
};

} // namespace tallyglass
