#pragma once
// A local HTTP double of the ChatGPT backend that a real `codex app-server` reads the
// account and usage from. Serves on its own thread; every public member is thread-safe.

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

class QThread;

namespace tallyglass {

struct FakeBackendState;

class FakeBackend {
public:
    enum class UsageAnswer {
        BothWindows, // a five-hour and a week window
        NullWeek,    // the five-hour window and a null secondary window
        ServerError, // HTTP 500 for the usage path
    };

    // A bucket besides codex, sent in additional_rate_limits.
    struct ExtraLimit {
        QString limitName;      // empty: sent as null
        QString meteredFeature; // becomes the CLI's limit id
        int fiveHourUsedPercent = 0;
        int weekUsedPercent = 0;
    };

    // A banked reset of the rate limits.
    struct ResetCredit {
        QString id;
        QString status = QStringLiteral("available");
        qint64 grantedAt = 0;               // seconds since 1970; sent as ISO 8601 text
        std::optional<qint64> expiresAt;    // absent: sent as null
        QString title = QStringLiteral("Rate limit reset");
        QString description = QStringLiteral("Resets your Codex usage limits");
    };

    // What POST …/consume answers: its "code", or an HTTP 500.
    enum class ConsumeAnswer { Reset, NothingToReset, NoCredit, AlreadyRedeemed, ServerError };

    struct Config {
        QString accountId = QStringLiteral("acct-tallyglass-test");
        UsageAnswer usage = UsageAnswer::BothWindows;
        int fiveHourUsedPercent = 37;
        int weekUsedPercent = 12;
        // Seconds since 1970; 0 means "now plus the window length" when the answer is built.
        qint64 fiveHourResetAt = 0;
        qint64 weekResetAt = 0;

        bool hasCredits = false;
        bool unlimitedCredits = false;
        QString creditBalance = QStringLiteral("0");
        QList<ExtraLimit> extraLimits;
        // With offerResetCredits, the usage answer carries rate_limit_reset_credits
        // (available_count: the credits whose status is "available").
        bool offerResetCredits = false;
        QList<ResetCredit> resetCredits;
        ConsumeAnswer consume = ConsumeAnswer::Reset;
        // Milliseconds before the consume answer goes out; the effect happens at once.
        int consumeDelayMs = 0;
        // Members added to the usage answer as they are (spend_control, ...).
        QJsonObject usageExtra;
    };

    static constexpr const char* accountsCheckPath = "/backend-api/wham/accounts/check";
    static constexpr const char* usagePath = "/backend-api/wham/usage";
    static constexpr const char* resetCreditsPath = "/backend-api/wham/rate-limit-reset-credits";
    static constexpr const char* consumePath = "/backend-api/wham/rate-limit-reset-credits/consume";

    FakeBackend();
    explicit FakeBackend(Config config);
    ~FakeBackend();

    FakeBackend(const FakeBackend&) = delete;
    FakeBackend& operator=(const FakeBackend&) = delete;

    // Listens on 127.0.0.1 with an ephemeral port; false when that failed.
    bool start();
    quint16 port() const;
    // The value for `chatgpt_base_url`, e.g. http://127.0.0.1:40123/backend-api/
    QString baseUrl() const;

    Config config() const;
    void setConfig(const Config& config);

    // Request targets (path and query) in the order they arrived.
    QStringList requestedPaths() const;
    void clearRequestedPaths();
    // Bodies of the POST requests, in the order they arrived.
    QList<QByteArray> postedBodies() const;

    // `config` with everything the whole allowance holds: a credit balance, a second
    // bucket, a reached type, a spend-control limit (75 % left, resets in three days),
    // and two banked resets that expire in 20 hours and in 10 days.
    static Config wholeAllowance(Config config, qint64 now);

    // The body and status the double gives for a target; also used by its tests.
    static QByteArray bodyFor(const Config& config, const QString& path, qint64 now, int* status);
    // Acts on a consume body ({"redeem_request_id", "credit_id"}) and gives the answer.
    // A reset marks the credit (the named one, else the soonest to expire) redeemed and
    // starts both windows anew at 0 %; a redeem_request_id that already reset answers
    // already_redeemed, as an idempotent backend does.
    static QByteArray consume(Config& config, QStringList& redeemed, const QByteArray& body, qint64 now, int* status);

private:
    std::shared_ptr<FakeBackendState> state_;
    std::unique_ptr<QThread> thread_;
    quint16 port_ = 0;
};

} // namespace tallyglass
