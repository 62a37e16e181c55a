#pragma once
// The one connection to a `codex app-server` child. Public calls may come from any
// thread; all client state lives on the client's own work thread, and onSnapshot /
// onStatus are always called on the thread of the application's main event loop.

#include "usage/UsageSnapshot.h"

#include <QString>
#include <functional>
#include <memory>
#include <optional>

namespace tallyglass {

class ClientCore;
class ClientDeliverer;
class QThreadHolder;

class CodexAppServerClient {
public:
    // Seconds since 1970-01-01T00:00:00Z; the recovery cool-down is measured on it.
    using WallClock = std::function<double()>;

    explicit CodexAppServerClient(std::optional<QString> executable = std::nullopt,
                                  double requestTimeout = 20,
                                  double recoveryCooldown = 60);
    CodexAppServerClient(std::optional<QString> executable, double requestTimeout, double recoveryCooldown,
                         WallClock wallClock);
    ~CodexAppServerClient();

    CodexAppServerClient(const CodexAppServerClient&) = delete;
    CodexAppServerClient& operator=(const CodexAppServerClient&) = delete;

    std::function<void(const UsageSnapshot&)> onSnapshot;
    std::function<void(const std::optional<QString>&)> onStatus;

    // Both return at once; the work happens on the client's thread.
    void start();
    void refresh();
    // Ends the connection and returns once the child is gone (at most about two
    // seconds for a child that ignores SIGTERM). Never call it from a callback of
    // the client's own thread.
    void stop();

private:
    friend class ClientCore;
    std::unique_ptr<QThreadHolder> thread_;
    ClientDeliverer* deliverer_ = nullptr; // lives on the main thread
    ClientCore* core_ = nullptr;           // lives on the work thread
};

} // namespace tallyglass
