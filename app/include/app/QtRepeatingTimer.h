#pragma once
// RepeatingTimer over a QTimer of the main thread's event loop. Main thread only.

#include "app/RepeatingTimer.h"

#include <QTimer>

namespace tallyglass {

class QtRepeatingTimer : public RepeatingTimer {
public:
    explicit QtRepeatingTimer(Qt::TimerType type);
    void start(std::chrono::milliseconds interval) override;
    void stop() override;

    static TimerFactory factory(Qt::TimerType type);

private:
    QTimer timer_;
};

} // namespace tallyglass
