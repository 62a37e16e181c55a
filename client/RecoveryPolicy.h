#pragma once
// When an error calls for a reconnect: at most once per reading cycle, and not again
// within the cool-down after the last one. Plain value; `now` is wall-clock seconds.

#include <optional>

namespace tallyglass {

class RecoveryPolicy {
public:
    explicit RecoveryPolicy(double cooldownSeconds) : cooldown_(cooldownSeconds) {}

    // A new reading cycle may reconnect once more (still within the cool-down).
    void newCycle() { retried_ = false; }
    // True, and counted as this cycle's reconnect, when one is allowed now. A clock set
    // back makes the elapsed time negative, which is inside the cool-down.
    bool tryReconnect(double now)
    {
        const bool allowed = !retried_ && (!lastReconnect_ || now - *lastReconnect_ >= cooldown_);
        if (!allowed)
            return false;
        retried_ = true;
        lastReconnect_ = now;
        return true;
    }

private:
    double cooldown_;
    bool retried_ = false;
    std::optional<double> lastReconnect_;
};

} // namespace tallyglass
