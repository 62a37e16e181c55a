#pragma once
// The status item's title and tooltip for the current usage, status text and mode. Pure; any thread.

#include "app/TimeTexts.h"
#include "usage/UsageSnapshot.h"

#include <QString>
#include <optional>

namespace tallyglass {

struct StatusTexts {
    QString title;
    QString toolTip;

    // "63% (3:05 PM)", "63% (2h 13m) !", "!" or "--% (--:--)" with its tooltip.
    static StatusTexts make(const std::optional<UsageSnapshot>& snapshot,
                            const std::optional<QString>& statusMessage, TimeDisplayMode mode,
                            const TimeContext& context);

    friend bool operator==(const StatusTexts&, const StatusTexts&) = default;
};

} // namespace tallyglass
