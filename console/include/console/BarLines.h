#pragma once
// What a status bar shows for the client's deliveries: the tray's title, tooltip and the
// menu's usage lines, as waybar JSON or as plain text, one line per change. Main thread only.

#include "texts/StatusTexts.h"
#include "client/ClientStatus.h"
#include "console/ConsoleOptions.h"
#include "usage/UsageSnapshot.h"

#include <QByteArray>
#include <functional>
#include <optional>

namespace tallyglass {

class BarLines {
public:
    BarLines(ConsoleOptions::Format format, std::function<TimeContext()> now);

    // The line to print for a delivery, or nothing when what the bar shows stays the same.
    std::optional<QByteArray> status(const std::optional<ClientStatus>& status);
    std::optional<QByteArray> snapshot(const UsageSnapshot& snapshot);

    // waybar's class for the bar's state: by the status's kind, never by its text.
    static QString barClass(const std::optional<UsageSnapshot>& snapshot, const std::optional<QString>& statusMessage,
                            bool refreshing);

private:
    std::optional<QByteArray> changed();

    ConsoleOptions::Format format_;
    std::function<TimeContext()> now_;
    std::optional<UsageSnapshot> snapshot_;
    std::optional<QString> statusMessage_;
    bool refreshing_ = false;
    bool started_ = false; // something has been read or has failed since the start
    QByteArray last_;
};

} // namespace tallyglass
