#pragma once
// Memory and scheduling figures of this process, read from /proc. Any thread.

#include <QString>
#include <vector>

namespace tallyglass {

class ProcessFigures {
public:
    ProcessFigures() = delete;

    struct ThreadSwitches {
        long long tid = 0;
        QString name;
        long long voluntary = 0;
        long long involuntary = 0;
    };

    // Resident set now and at its peak, in kB (VmRSS, VmHWM); -1 when unreadable.
    static long long residentKb();
    static long long peakResidentKb();
    // Bytes the allocator has handed out and not taken back, over all arenas: grows
    // with a leak, stays put when only the allocator's free lists grow.
    static long long heapInUseKb();
    // Context switches of every thread of this process.
    static std::vector<ThreadSwitches> threadSwitches();
};

} // namespace tallyglass
