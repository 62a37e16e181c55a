#pragma once
// The current time and the local time zone. Main thread only.

#include <QTimeZone>

namespace tallyglass {

class Clock {
public:
    virtual ~Clock() = default;
    // Seconds since 1970-01-01T00:00:00Z.
    virtual double now() const = 0;
    // The zone in which times of day are shown; read anew on every call.
    virtual QTimeZone timeZone() const = 0;
};

} // namespace tallyglass
