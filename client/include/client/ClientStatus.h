#pragma once
// A status the client publishes: what happened (its kind) and the Korean text the user
// reads. Every status text of the client is made here and nowhere else. Plain value; any thread.

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

namespace tallyglass {

enum class StatusKind {
    // A reading is under way; usage or another status follows.
    loading,         // a child was launched
    checkingAccount, // the first account read of a cycle
    accountChanged,  // the app-server said the account changed
    reconnecting,    // one automatic reconnect after an error
    // The reading ended without usage.
    retryStopped,   // a reconnect was called for but refused
    signedOut,      // no ChatGPT account is signed in
    noUsageData,    // the rate-limit answer held nothing usable
    requestFailed,  // an error answer to the account or rate-limit read
    noAnswer,       // an answer without a usable result closed the connection
    initializeFailed,
    timedOut,       // a request went unanswered; the connection was closed
    sendFailed,     // writing to the child failed
    childExited,    // the child ended on its own
    launchFailed,   // spawning the executable failed
    notFound,       // no codex executable was found
    // Spending a banked reset (never part of a reading; the cycle goes on as it was).
    resetUnderway,         // the consume request is out
    resetDone,             // outcome "reset"; a reading follows
    resetAlreadyRedeemed,  // outcome "alreadyRedeemed": this key was spent before; a reading follows
    resetNothingToReset,   // outcome "nothingToReset": nothing was spent
    resetNoCredit,         // outcome "noCredit": nothing was spent
    resetUnsupported,      // the Codex CLI does not know the request; nothing was spent
    resetFailed,           // another error answer; the key is kept for the retry
    resetNoAnswer,         // no answer in time; the key is kept for the retry
};

struct ClientStatus {
    StatusKind kind;
    QString text;

    // True while more is to come in this reading; false when it ended without usage.
    bool readingUnderway() const;

    static ClientStatus loading();
    static ClientStatus checkingAccount();
    static ClientStatus accountChanged();
    static ClientStatus signedOut();
    static ClientStatus noUsageData();
    static ClientStatus noAccountAnswer();
    static ClientStatus noInitializeAnswer();
    static ClientStatus initializeFailed(std::optional<std::int64_t> code);
    static ClientStatus initializeTimedOut();
    static ClientStatus accountTimedOut();
    static ClientStatus usageTimedOut();
    static ClientStatus sendFailed();
    static ClientStatus launchFailed(int errorNumber);
    static ClientStatus notFound();
    // The end of a child that exited on its own, with a hint found in the tail of its standard error.
    static ClientStatus childExited(int terminationStatus, const QByteArray& errorTail);

    // Reasons for recovery: an error answer ("계정 확인 실패 (코드 401)") or an account change.
    static QString requestFailedText(const QString& label, std::optional<std::int64_t> code);
    static QString accountLabel();
    static QString usageLabel();
    static QString accountChangeReason();
    static ClientStatus requestFailed(const QString& reason);
    static ClientStatus reconnecting(const QString& reason);
    static ClientStatus retryStopped(const QString& reason);

    static ClientStatus resetUnderway();
    static ClientStatus resetDone();
    static ClientStatus resetAlreadyRedeemed();
    static ClientStatus resetNothingToReset();
    static ClientStatus resetNoCredit();
    static ClientStatus resetUnsupported();
    static ClientStatus resetFailed(std::optional<std::int64_t> code);
    static ClientStatus resetNoAnswer();

    friend bool operator==(const ClientStatus&, const ClientStatus&) = default;
};

} // namespace tallyglass
