#pragma once
// The status item's title, tooltip and icon badge for the current usage, status text and
// mode. Pure; any thread.

#include "texts/TimeTexts.h"
#include "usage/UsageSnapshot.h"

#include <QString>
#include <QStringList>
#include <optional>

namespace tallyglass {

// The lines about the usage that the menu shows, in the groups it separates.
struct UsageLines {
    QStringList fiveHour; // "5h 남음: 63%" and "5h 갱신: 3:05 PM", or one line without data
    QStringList week;     // the same for the week
    std::optional<QString> checked; // "확인: 3:07 PM", when there is a reading

    static UsageLines make(const std::optional<UsageSnapshot>& snapshot, TimeDisplayMode mode,
                           const TimeContext& context);
};

struct StatusTexts {
    QString title;
    QString toolTip;
    // The icon's short figure: the five-hour percentage left ("63"), "!" for a status
    // text without a reading, "--" without data, "…" before the first reading, "↻" while
    // refreshing.
    QString badge;
    // A status text sits beside the figure: the icon keeps the figure and is drawn marked.
    bool marked = false;

    // "63% (3:05 PM)", "63% (2h 13m) !", "!" or "--% (--:--)" with its tooltip and badge.
    static StatusTexts make(const std::optional<UsageSnapshot>& snapshot,
                            const std::optional<QString>& statusMessage, TimeDisplayMode mode,
                            const TimeContext& context);
    // Before the first reading.
    static StatusTexts launching();
    // While a refresh the user asked for runs; the tooltip stays as it is.
    static StatusTexts refreshing(const QString& toolTip);
    // The badge of an item that has shown nothing yet.
    static QString noDataBadge();

    friend bool operator==(const StatusTexts&, const StatusTexts&) = default;
};

} // namespace tallyglass
