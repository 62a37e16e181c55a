#include "client/EmergencyStop.h"

#include <array>
#include <atomic>
#include <csignal>

namespace tallyglass {
namespace {

// A fixed table of lock-free atomics: a signal handler may read it at any moment. A client
// runs one child at a time; a few slots to spare cover a console and a tray in one test.
std::array<std::atomic<pid_t>, 16> groups {};
static_assert(std::atomic<pid_t>::is_always_lock_free);

} // namespace

bool EmergencyStop::add(pid_t group) noexcept
{
    for (std::atomic<pid_t>& slot : groups) {
        pid_t empty = 0;
        if (group > 0 && slot.compare_exchange_strong(empty, group))
            return true;
    }
    return false;
}

void EmergencyStop::remove(pid_t group) noexcept
{
    for (std::atomic<pid_t>& slot : groups) {
        pid_t expected = group;
        if (group > 0 && slot.compare_exchange_strong(expected, 0))
            return;
    }
}

void EmergencyStop::killAll() noexcept
{
    for (const std::atomic<pid_t>& slot : groups) {
        if (const pid_t group = slot.load(); group > 0)
            ::kill(-group, SIGKILL);
    }
}

} // namespace tallyglass
