#include "app/SystemClock.h"

#include <QDateTime>

namespace tallyglass {

double SystemClock::now() const
{
    return double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
}

QTimeZone SystemClock::timeZone() const
{
    // Asked by id every time rather than kept, so a zone change is seen at the next format.
    return QTimeZone(QTimeZone::systemTimeZoneId());
}

} // namespace tallyglass
