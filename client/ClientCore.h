#pragma once
// The state and work of CodexAppServerClient. Lives on the client's work thread:
// every method below runs there, and nothing else touches the state.

#include "client/ChildProcess.h"
#include "client/CodexAppServerClient.h"
#include "client/JsonLineBuffer.h"
#include "usage/UsageSnapshot.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QUuid>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>

class QSocketNotifier;
class QTimer;

namespace tallyglass {

// Lives on the main thread; deliveries are posted to it, so destroying it drops
// every delivery still queued. It holds the client weakly: once detached, a
// delivery that still runs finds no client and does nothing.
class ClientDeliverer : public QObject {
    Q_OBJECT
public:
    explicit ClientDeliverer(CodexAppServerClient* owner) : owner_(owner) {}
    void detach() { owner_.store(nullptr); }
    CodexAppServerClient* owner() const { return owner_.load(); }

    // Copies of the owner's callbacks, empty once detached. A copy keeps running
    // even when the callback replaces itself or destroys the client.
    std::function<void(const std::optional<QString>&)> statusCallback() const
    {
        const CodexAppServerClient* client = owner();
        return client ? client->onStatus : nullptr;
    }
    std::function<void(const UsageSnapshot&)> snapshotCallback() const
    {
        const CodexAppServerClient* client = owner();
        return client ? client->onSnapshot : nullptr;
    }

private:
    std::atomic<CodexAppServerClient*> owner_;
};

// The pending time-out check of one kind of request. Arming replaces the
// previous check of that kind, which could only have found its request already
// answered; cancelling drops a check whose request is settled, so that an idle
// client has no timers left to wake it.
class TimeoutCheck {
public:
    explicit TimeoutCheck(QObject* owner);
    void arm(double seconds, std::function<void()> check);
    void cancel();

private:
    QTimer* timer_;
    std::function<void()> check_;
};

class ClientCore : public QObject {
    Q_OBJECT
public:
    ClientCore(ClientDeliverer* deliverer, std::optional<QString> executable,
               double requestTimeout, double recoveryCooldown, CodexAppServerClient::WallClock wallClock);
    ~ClientCore() override;

    // Entry points submitted by the public operations.
    void refreshLocked();
    void startLocked();
    void disconnectLocked();

private:
    // Lifecycle
    void publishStatus(const QString& text);
    void publish(const UsageSnapshot& snapshot);
    void installHandlers(const QUuid& connection);
    void removeHandlers();
    void handleTerminationLocked(const QUuid& connection);
    void childExitedLocked(const QUuid& connection);
    bool processRunning();

    // Transport
    void sendLocked(std::int64_t id, const QString& method, const QJsonObject& params);
    void writeLocked(const QJsonObject& message);
    void outputReadableLocked(const QUuid& connection);
    void errorReadableLocked(const QUuid& connection);

    // Protocol
    void handleLocked(const QJsonObject& message);
    void handleInitializeAnswerLocked(const QJsonObject& message);
    void handleAccountAnswerLocked(const QJsonObject& message);
    void handleUsageAnswerLocked(const QJsonObject& message);
    void requestAccountLocked();
    void requestUsageLocked();
    std::int64_t takeRequestID();

    // Errors, time-outs and recovery
    void handleRPCErrorLocked(const QJsonObject& error, const QString& label);
    void recoverLocked(const QString& reason);
    void initializeTimeoutLocked(const QUuid& connection, std::int64_t id);
    void accountTimeoutLocked(const QUuid& connection, std::int64_t id);
    void usageTimeoutLocked(std::int64_t id);

    ClientDeliverer* const deliverer_;

    std::unique_ptr<ChildProcess> process;
    JsonLineBuffer outputBuffer;
    QByteArray errorBuffer;
    QUuid connectionID = QUuid::createUuid();
    const std::optional<QString> executableOverride;
    const double requestTimeout;
    bool initialized = false;
    bool wantsRefresh = false;
    std::int64_t nextRequestID = 1;
    std::optional<std::int64_t> initializeRequestID;
    std::set<std::int64_t> usageRequestIDs;
    std::optional<std::int64_t> accountRequestID;
    std::optional<QString> accountIdentity;
    bool hasReadAccount = false;
    bool firstAccountForConnection = true;
    std::optional<UsageSnapshot> pendingSnapshot;
    bool refreshing = false;
    bool retried = false;
    std::optional<double> lastRecovery;
    const double recoveryCooldown;
    const CodexAppServerClient::WallClock wallClock_;

    TimeoutCheck initializeTimeout_ {this};
    TimeoutCheck accountTimeout_ {this};
    TimeoutCheck usageTimeout_ {this};

    // Readability and exit watchers of the current child; removing them is how a
    // connection's handlers are uninstalled.
    QSocketNotifier* outputNotifier_ = nullptr;
    QSocketNotifier* errorNotifier_ = nullptr;
    // Watches the child's exit; stays after disconnectLocked for a child left
    // running, so that it is reaped when it finally exits.
    QObject* exitWatcher_ = nullptr;
    bool terminationHandlerInstalled_ = false;
};

} // namespace tallyglass
