#pragma once
// A repeating timer whose first tick comes one interval after start. Main thread only.

#include <chrono>
#include <functional>
#include <memory>

namespace tallyglass {

class RepeatingTimer {
public:
    virtual ~RepeatingTimer() = default;
    virtual void start(std::chrono::milliseconds interval) = 0;
    // Stops for good; no tick arrives afterwards.
    virtual void stop() = 0;

    std::function<void()> onTick;
};

using TimerFactory = std::function<std::unique_ptr<RepeatingTimer>()>;

} // namespace tallyglass
