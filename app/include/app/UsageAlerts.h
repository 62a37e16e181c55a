#pragma once
// When a reading calls for a notification: a window that runs low (once per window and
// threshold, until it resets or climbs back above), and a banked reset that expires within
// a day (once per credit). The state survives restarts through AlertStateFile. Main thread only.

#include "platform/Notifier.h"
#include "texts/TimeTexts.h"
#include "usage/UsageAllowance.h"
#include "usage/UsageSnapshot.h"
#include "usage/UsageWindowKind.h"

#include <QString>
#include <optional>
#include <vector>

namespace tallyglass {

// What has been notified already.
struct AlertState {
    // The reset time and threshold of a window's notification already shown.
    struct Window {
        std::optional<double> resetsAt;
        int percent = 0;

        friend bool operator==(const Window&, const Window&) = default;
    };
    std::optional<Window> fiveHour;
    std::optional<Window> week;
    // Banked resets whose coming expiry has been notified.
    std::vector<QString> expiringCredits;

    friend bool operator==(const AlertState&, const AlertState&) = default;
};

struct Alert {
    NotificationTopic topic;
    Notification notification;
};

class UsageAlerts {
public:
    // A banked reset is announced once this close to its expiry.
    static constexpr double expiryNoticeSeconds = 86400;
    // A window's notification at or below this remaining percent is marked critical.
    static constexpr std::int64_t criticalPercent = 5;

    explicit UsageAlerts(AlertState state = {}) : state_(std::move(state)) {}

    // The notifications one reading calls for. `threshold` is the remaining percent to
    // notify at, 0 for off; `allowance` what the same reading said beyond the windows.
    std::vector<Alert> check(const UsageSnapshot& snapshot, const std::optional<UsageAllowance>& allowance,
                             int threshold, TimeDisplayMode mode, const TimeContext& time);

    const AlertState& state() const { return state_; }

private:
    std::optional<Alert> checkWindow(UsageWindowKind kind, const UsageSnapshot& snapshot, bool canUseReset,
                                     int threshold, TimeDisplayMode mode, const TimeContext& time);
    std::optional<Alert> checkExpiry(const UsageAllowance& allowance, double now);

    AlertState state_;
};

} // namespace tallyglass
