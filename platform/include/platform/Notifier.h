#pragma once
// Desktop notifications, one replaceable notification per rate-limit window. Main thread only.

#include "usage/UsageWindowKind.h"

#include <QString>

namespace tallyglass {

struct Notification {
    QString summary;
    QString body;
    bool critical = false;
};

class Notifier {
public:
    virtual ~Notifier() = default;
    // Shows `notification`, replacing the last one shown for `kind`. Returns at once;
    // without a notification service nothing happens.
    virtual void notify(UsageWindowKind kind, const Notification& notification) = 0;
};

} // namespace tallyglass
