#pragma once
// The reading cycle over one app-server connection at a time: the handshake, then
// account, rate limits and the account once more before usage is published; errors,
// time-outs and the one automatic reconnect per cycle. Lives on the client's work
// thread: every method named ...Locked runs there and nowhere else.

#include "AppServerConnection.h"
#include "client/ClientStatus.h"
#include "RecoveryPolicy.h"
#include "usage/UsageSnapshot.h"

#include <QJsonObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <variant>

namespace tallyglass {

class ReadingCycle {
public:
    enum class Phase {
        noChild,        // no connection
        handshaking,    // initialize sent, not answered
        ready,          // connected, no reading under way
        accountCheck,   // first account read of a cycle
        usageRead,      // rate limits asked
        accountConfirm, // account read again; the snapshot waits for it
    };

    struct Outputs {
        std::function<void(const ClientStatus&)> status;
        // Publishing a snapshot clears the status; the receiver does both, in that order.
        std::function<void(const UsageSnapshot&)> snapshot;
    };
    // Opens a connection to `executable`: the connection (owned by the cycle from then
    // on), or the errno of a failed launch.
    using Launcher = std::function<std::variant<AppServerConnection*, int>(
        const QString& executable, AppServerConnection::Events events, double requestTimeoutSeconds)>;
    using WallClock = std::function<double()>;

    struct Settings {
        std::optional<QString> executable; // absent: ask the locator
        double requestTimeout = 20;
        double recoveryCooldown = 60;
    };

    ReadingCycle(Settings settings, Outputs outputs, WallClock wallClock, Launcher launcher);
    ~ReadingCycle();
    ReadingCycle(const ReadingCycle&) = delete;
    ReadingCycle& operator=(const ReadingCycle&) = delete;

    void startLocked();
    void refreshLocked();
    void disconnectLocked();

    Phase phase() const { return phase_; }
    // The id the next request will carry; ids only rise.
    std::int64_t nextRequestID() const { return nextRequestID_; }

private:
    bool refreshing() const;
    void launchLocked();
    void handleLocked(const QJsonObject& message);
    void handleInitializeAnswerLocked(const QJsonObject& message);
    void handleAccountAnswerLocked(const QJsonObject& message);
    void handleUsageAnswerLocked(const QJsonObject& message);
    void handleRPCErrorLocked(const QJsonObject& error, const QString& label);
    void handleOverdueLocked(RequestKind kind);
    void handleEndLocked(const ClientStatus& status);
    void recoverLocked(const QString& reason);
    void requestAccountLocked();
    void requestUsageLocked();
    // Sends a request; a failed write ends the connection with its status, and false.
    bool sendLocked(RequestKind kind, const QString& method, const QJsonObject& params);
    void failLocked(const ClientStatus& status); // disconnect, then publish

    const Settings settings_;
    const Outputs out_;
    const WallClock wallClock_;
    const Launcher launcher_;

    AppServerConnection* connection_ = nullptr;
    Phase phase_ = Phase::noChild;
    std::optional<UsageSnapshot> pendingSnapshot_; // only in accountConfirm
    std::int64_t nextRequestID_ = 1;
    // Any change of the account object between two answers on one connection is a
    // change of account; the first answer on a new connection is taken as it is.
    std::optional<QString> accountIdentity_;
    bool hasReadAccount_ = false;
    bool firstAccountForConnection_ = true;
    RecoveryPolicy recovery_;
};

} // namespace tallyglass
