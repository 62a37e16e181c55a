#pragma once
// The "사용 기록" window: the used percent of each window over the last day and week,
// drawn with QPainter (a few thousand points and dashed lines need nothing more, and it
// adds no library to load at start-up). Main thread only.

#include "texts/TimeTexts.h"
#include "history/Forecast.h"
#include "usage/UsageSnapshot.h"

#include <QWidget>
#include <vector>

namespace tallyglass {

class UsageChart : public QWidget {
public:
    UsageChart(UsageWindowKind kind, double spanSeconds, QWidget* parent = nullptr);
    void setReadings(const std::vector<UsageSnapshot>* readings, const TimeContext& time);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    UsageWindowKind kind_;
    double span_;
    const std::vector<UsageSnapshot>* readings_ = nullptr;
    TimeContext time_;
};

class HistoryWindow : public QWidget {
public:
    explicit HistoryWindow(QWidget* parent = nullptr);
    // Readings oldest first; `time.now` is the right-hand end of both charts' past.
    void setReadings(std::vector<UsageSnapshot> readings, const TimeContext& time);

private:
    std::vector<UsageSnapshot> readings_;
    UsageChart* fiveHour_;
    UsageChart* week_;
};

} // namespace tallyglass
