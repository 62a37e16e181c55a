#pragma once
// What the tray needs of the app-server client; callbacks arrive on the main thread.

#include "client/ClientStatus.h"
#include "usage/UsageAllowance.h"
#include "usage/UsageSnapshot.h"

#include <QString>
#include <functional>
#include <optional>

namespace tallyglass {

class UsageClient {
public:
    virtual ~UsageClient() = default;
    virtual void start() = 0;
    virtual void refresh() = 0;
    // Returns once the child process is gone.
    virtual void stop() = 0;
    // Spends one banked reset (the user has confirmed); the key lives in `keyFile` until
    // an outcome arrives, so a retry never spends a second one. Statuses of kind reset… follow.
    virtual void useResetCredit(const QString& keyFile, const std::optional<QString>& creditId) = 0;

    std::function<void(const UsageSnapshot&)> onSnapshot;
    // Everything else a reading said; arrives just before that reading's onSnapshot.
    std::function<void(const UsageAllowance&)> onAllowance;
    // A status, or nothing when the status clears just before a snapshot.
    std::function<void(const std::optional<ClientStatus>&)> onStatus;
};

} // namespace tallyglass
