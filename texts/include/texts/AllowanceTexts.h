#pragma once
// The menu lines for everything beyond the codex bucket's two windows: other buckets,
// credits, why usage is blocked, a spend-control limit and the banked resets. The tray's
// menu and the bars' tooltip show the same lines. Pure; any thread.

#include "texts/TimeTexts.h"
#include "usage/UsageAllowance.h"

#include <QString>
#include <QStringList>
#include <vector>

namespace tallyglass {

// One other bucket: a submenu titled with its name, holding the lines the main windows
// have ("5h 남음: 60%", "5h 갱신: 3:05 PM", "Week 남음: 95%", ...).
struct LimitLines {
    QString title;
    QStringList lines;

    friend bool operator==(const LimitLines&, const LimitLines&) = default;
};

struct AllowanceLines {
    std::vector<LimitLines> otherLimits;
    // In menu order: credits, the reached type, the spend control and its time, the
    // banked resets' count and the soonest expiry.
    QStringList lines;
    // The command "한도 리셋 사용…" belongs after the lines.
    bool canUseReset = false;

    static AllowanceLines make(const UsageAllowance& allowance, TimeDisplayMode mode, const TimeContext& context);
    // "한도 리셋 사용…": the menu command and the notifications' action.
    static QString useResetCommand();
    // The soonest-expiring available reset credit, the one to spend; absent when the
    // details are unknown.
    static std::optional<ResetCredit> soonestCredit(const UsageAllowance& allowance);

    friend bool operator==(const AllowanceLines&, const AllowanceLines&) = default;
};

} // namespace tallyglass
