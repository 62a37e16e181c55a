#pragma once
// The reading cycle over one app-server connection at a time: the handshake, then
// account, rate limits and the account once more before usage is published; errors,
// time-outs and the one automatic reconnect per cycle; and spending a banked reset in
// between readings. Lives on the client's work
// thread: every method named ...Locked runs there and nowhere else.

#include "AppServerConnection.h"
#include "client/ClientStatus.h"
#include "PublishedReading.h"
#include "RecoveryPolicy.h"
#include "ResetKeyFile.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <variant>

namespace tallyglass {

class ReadingCycle {
public:
    struct Outputs {
        std::function<void(const ClientStatus&)> status;
        // Publishing a reading clears the status; the receiver does both, in that order.
        std::function<void(const PublishedReading&)> reading;
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

    ReadingCycle(Settings settings, Outputs outputs, WallClock wallClock, Launcher launcher,
                 ResetKeyStore keys = {});
    ~ReadingCycle();
    ReadingCycle(const ReadingCycle&) = delete;
    ReadingCycle& operator=(const ReadingCycle&) = delete;

    void startLocked();
    void refreshLocked();
    void disconnectLocked();
    // Spends one banked reset under the key kept in `keyFile` (see ResetKeyFile): sent
    // once no reading is under way, over a new connection when there is none.
    void useResetCreditLocked(const QString& keyFile, const std::optional<QString>& creditId);

private:
    // The phases of the connection; each carries the data that lives only while it lasts.
    struct NoChild {};
    struct Handshaking {}; // initialize sent, not answered
    struct Ready {};       // connected, no reading under way
    // account/read sent: the first of a cycle, or with a snapshot waiting the one that
    // confirms the account the snapshot was read for.
    struct AccountRead {
        std::optional<PublishedReading> waiting;
    };
    struct UsageRead {}; // rate limits asked
    struct PendingReset {
        QString keyFile;
        ResetRequest request;
    };
    struct ResetConsume { // a banked reset being spent; no reading meanwhile
        PendingReset reset;
    };
    using Phase = std::variant<NoChild, Handshaking, Ready, AccountRead, UsageRead, ResetConsume>;

    // The one place the phase changes. Entering a phase sends what it waits for;
    // entering NoChild ends the connection, and Ready hands over to a waiting reset.
    void enterLocked(Phase next);
    template <typename P>
    bool in() const { return std::get_if<P>(&phase_) != nullptr; }
    bool refreshing() const { return !in<NoChild>() && !in<Ready>(); }

    void launchLocked();
    void handleLocked(const QJsonObject& message);
    void handleNotificationLocked(const QString& method);
    void handleInitializeAnswerLocked(const QJsonObject& message);
    void handleAccountAnswerLocked(const QJsonObject& message);
    void handleUsageAnswerLocked(const QJsonObject& message);
    void handleResetAnswerLocked(const QJsonObject& message);
    void endResetLocked(const ClientStatus& status, bool removeKey, bool readAgain);
    // The connection ended for good: a reset waiting, or out when `requestOut`, is answered for.
    void abandonResetLocked(bool requestOut);
    void handleRPCErrorLocked(const QJsonObject& error, const QString& label);
    void handleOverdueLocked(RequestKind kind);
    void handleEndLocked(const ClientStatus& status);
    void recoverLocked(const QString& reason);
    // Sends a request; a failed write ends the connection with its status.
    void sendLocked(RequestKind kind, QLatin1String method, QByteArrayView params);
    void failLocked(const ClientStatus& status); // disconnect, then publish

    const Settings settings_;
    const Outputs out_;
    const WallClock wallClock_;
    const Launcher launcher_;
    const ResetKeyStore keys_;

    AppServerConnection* connection_ = nullptr;
    Phase phase_;
    std::int64_t nextRequestID_ = 1; // ids only rise, across connections too
    // The account object last read on this connection; absent before the first answer
    // on a connection, which is taken as it is. Any change after it is a change of account.
    std::optional<QJsonValue> accountIdentity_;
    RecoveryPolicy recovery_;
    std::optional<PendingReset> waitingReset_; // until a reading under way ends
};

} // namespace tallyglass
