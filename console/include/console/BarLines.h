#pragma once
// What a status bar shows for the client's deliveries: the tray's title, tooltip and the
// menu's usage lines, as waybar JSON or as plain text, one line per change. Main thread only.

#include "texts/StatusTexts.h"
#include "client/ClientStatus.h"
#include "console/ConsoleOptions.h"
#include "usage/UsageAllowance.h"
#include "usage/UsageSnapshot.h"

#include <QByteArray>
#include <functional>
#include <optional>

namespace tallyglass {

class BarLines {
public:
    BarLines(ConsoleOptions::Format format, std::function<TimeContext()> now);

    // A reading marks the bar stale only once it has been under way this long, so that
    // quick readings (or a flood of them) never make the bar flicker.
    static constexpr double staleAfterSeconds = 1;

    // The line to print for a delivery, or nothing when what the bar shows stays the same.
    std::optional<QByteArray> status(const std::optional<ClientStatus>& status);
    std::optional<QByteArray> snapshot(const UsageSnapshot& snapshot, const UsageAllowance& allowance = {});
    // The line to print when staleAt() has come.
    std::optional<QByteArray> tick();
    // When the reading under way turns the bar stale (seconds since 1970); nothing when
    // no reading is under way.
    std::optional<double> staleAt() const;

    // waybar's class for the bar's state: by the status's kind, never by its text.
    static QString barClass(const std::optional<UsageSnapshot>& snapshot, const std::optional<QString>& statusMessage,
                            bool stale);

private:
    std::optional<QByteArray> changed();

    ConsoleOptions::Format format_;
    std::function<TimeContext()> now_;
    std::optional<UsageSnapshot> snapshot_;
    UsageAllowance allowance_; // of snapshot_
    std::optional<QString> statusMessage_;
    std::optional<double> underwaySince_; // a reading under way began then
    bool started_ = false; // something has been read or has failed since the start
    QByteArray last_;
};

} // namespace tallyglass
