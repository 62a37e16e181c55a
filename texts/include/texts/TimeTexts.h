#pragma once
// Clock times and countdowns for the title and the menu. Pure; any thread.

#include "texts/TimeDisplayMode.h"

#include <QString>
#include <QTimeZone>
#include <optional>

namespace tallyglass {

// "h:mm a" (3:05 PM) or "EEE h:mm a" (Mon 3:05 PM), always in English.
enum class TimeFormat { clock, week };

// The moment of formatting: the current time and the zone to show times in.
struct TimeContext {
    double now = 0; // seconds since 1970
    QTimeZone zone;
};

class TimeTexts {
public:
    TimeTexts() = delete;

    // Countdowns saturate at this many minutes (99999 days), far beyond any real window.
    static constexpr long long maxMinutes = 99999LL * 1440;
    // Times outside years 1...9999 (UTC) or not finite are shown as "--:--".
    static constexpr double earliestTime = -62135596800.0; // 0001-01-01T00:00:00Z
    static constexpr double latestTime = 253402300799.0;   // 9999-12-31T23:59:59Z

    static QString formatTime(double time, TimeFormat format, const QTimeZone& zone);
    // Minutes until `time`, rounded up and never below 0: "2h 13m" / "2시간 13분".
    static QString remainingTime(double time, bool compact, double now);
    // The title's time: "--:--" when absent, a compact countdown or a clock time.
    static QString displayedTime(std::optional<double> time, TimeFormat format, TimeDisplayMode mode,
                                 const TimeContext& context);
    // One menu line such as "5h 갱신: 3:05 PM" or "Week 남은 시간: 3일 4시간".
    static QString timeMenuText(const QString& label, std::optional<double> time, TimeFormat format,
                                TimeDisplayMode mode, const TimeContext& context);
    // When the window is expected to be used up: "5h 소진 예상: 3:40 PM" or "5h 소진까지: 1시간 20분".
    static QString exhaustionMenuText(const QString& label, double time, TimeFormat format, TimeDisplayMode mode,
                                      const TimeContext& context);
};

} // namespace tallyglass
