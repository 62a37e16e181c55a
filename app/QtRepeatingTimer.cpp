#include "app/QtRepeatingTimer.h"

namespace tallyglass {

QtRepeatingTimer::QtRepeatingTimer(Qt::TimerType type)
{
    timer_.setTimerType(type);
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] {
        if (onTick)
            onTick();
    });
}

void QtRepeatingTimer::start(std::chrono::milliseconds interval)
{
    timer_.start(interval);
}

void QtRepeatingTimer::stop()
{
    timer_.stop();
}

TimerFactory QtRepeatingTimer::factory(Qt::TimerType type)
{
    return [type] { return std::make_unique<QtRepeatingTimer>(type); };
}

} // namespace tallyglass
