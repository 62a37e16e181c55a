#pragma once
// Asks the user before a banked reset is spent. Main thread only.

#include <QStringList>
#include <cstdint>

namespace tallyglass {

class ResetDialog {
public:
    virtual ~ResetDialog() = default;
    // Runs modally, showing the current usage lines ("5h 남음: 63%", "Week 남음: 88%") and
    // the resets left; true only when the user chose to spend one.
    virtual bool confirm(const QStringList& usageLines, std::int64_t resetsLeft) = 0;
};

} // namespace tallyglass
