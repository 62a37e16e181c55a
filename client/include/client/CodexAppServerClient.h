#pragma once
// The one connection to a `codex app-server` child. Public calls come from the main
// thread; all connection state lives on the client's own work thread, and every
// delivery (the signals, onSnapshot and onStatus) arrives on the thread the client
// was created on, the one of the application's main event loop.

#include "client/ClientStatus.h"
#include "usage/UsageAllowance.h"
#include "usage/UsageSnapshot.h"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

namespace tallyglass {

class CodexAppServerClient : public QObject {
    Q_OBJECT
public:
    // Seconds since 1970-01-01T00:00:00Z; the recovery cool-down is measured on it.
    using WallClock = std::function<double()>;

    explicit CodexAppServerClient(std::optional<QString> executable = std::nullopt,
                                  double requestTimeout = 20,
                                  double recoveryCooldown = 60);
    CodexAppServerClient(std::optional<QString> executable, double requestTimeout, double recoveryCooldown,
                         WallClock wallClock);
    // Ends the child too; deliveries still waiting are dropped.
    ~CodexAppServerClient() override;

    // Called before the signals below, with the status's text; either may destroy the client.
    std::function<void(const UsageSnapshot&)> onSnapshot;
    std::function<void(const std::optional<QString>&)> onStatus;

    // Both return at once; the work happens on the client's thread.
    void start();
    void refresh();
    // Ends the connection and returns once the child and what it started are gone (at
    // most about two seconds for a child that ignores SIGTERM). Never call it from the
    // client's own thread.
    void stop();

    // Spends one banked reset; the caller has asked the user first. The idempotency key
    // lives in `keyFile` from before the request until a definite outcome, so every retry
    // (after a time-out, an error, a crash or a quit) reuses it and can never spend a
    // second reset. Sent after a reading under way ends; connects first when needed.
    // `creditId` is the soonest-expiring available credit, absent when unknown. Returns at
    // once; the statuses of kind reset... tell how it went.
    void useResetCredit(const QString& keyFile, const std::optional<QString>& creditId);

signals:
    // A status, or nothing when the status clears just before a snapshot.
    void statusChanged(const std::optional<tallyglass::ClientStatus>& status);
    void snapshotPublished(const tallyglass::UsageSnapshot& snapshot);
    // Everything else the same rate-limit answer said; emitted just before
    // snapshotPublished of the same reading.
    void allowancePublished(const tallyglass::UsageAllowance& allowance);

private:
    struct Work;
    void deliverNext();

    std::unique_ptr<Work> work_;
};

} // namespace tallyglass
