#pragma once
// What the tray needs of the app-server client; callbacks arrive on the main thread.

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

    std::function<void(const UsageSnapshot&)> onSnapshot;
    std::function<void(const std::optional<QString>&)> onStatus;
};

} // namespace tallyglass
