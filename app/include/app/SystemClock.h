#pragma once
// The system's wall clock and its current time zone. Main thread only.

#include "app/Clock.h"

namespace tallyglass {

class SystemClock : public Clock {
public:
    double now() const override;
    // Follows a change of TZ or of the system zone while the program runs.
    QTimeZone timeZone() const override;
};

} // namespace tallyglass
