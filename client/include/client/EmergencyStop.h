#pragma once
// The process groups of the running codex children, for the moment the process must end at
// once from a signal handler: killAll() ends them first, so no codex outlives us. Any
// thread; every function is async-signal-safe.

#include <sys/types.h>

namespace tallyglass {

class EmergencyStop {
public:
    EmergencyStop() = delete;

    // Notes a child's process group; false when the table is full (it then is not covered).
    static bool add(pid_t group) noexcept;
    static void remove(pid_t group) noexcept;
    // SIGKILL to every noted group.
    static void killAll() noexcept;
};

} // namespace tallyglass
