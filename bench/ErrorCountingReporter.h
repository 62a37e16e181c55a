#pragma once
// The console reporter, counting the benchmarks that ended in an error, so that a run
// (the smoke tests in CTest above all) fails instead of printing the error and exiting 0.

#include <benchmark/benchmark.h>
#include <vector>

namespace tallyglass {

class ErrorCountingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs)
            if (run.error_occurred)
                ++errors_;
        ConsoleReporter::ReportRuns(runs);
    }
    int errors() const { return errors_; }

private:
    int errors_ = 0;
};

} // namespace tallyglass
