#pragma once
// A local HTTP double of the ChatGPT backend that a real `codex app-server` reads the
// account and usage from. Serves on its own thread; every public member is thread-safe.

#include <QString>
#include <QStringList>
#include <memory>

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

    struct Config {
        QString accountId = QStringLiteral("acct-tallyglass-test");
        UsageAnswer usage = UsageAnswer::BothWindows;
        int fiveHourUsedPercent = 37;
        int weekUsedPercent = 12;
        // Seconds since 1970; 0 means "now plus the window length" when the answer is built.
        qint64 fiveHourResetAt = 0;
        qint64 weekResetAt = 0;
    };

    static constexpr const char* accountsCheckPath = "/backend-api/wham/accounts/check";
    static constexpr const char* usagePath = "/backend-api/wham/usage";

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

    // The body and status the double gives for a target; also used by its tests.
    static QByteArray bodyFor(const Config& config, const QString& path, qint64 now, int* status);

private:
    std::shared_ptr<FakeBackendState> state_;
    std::unique_ptr<QThread> thread_;
    quint16 port_ = 0;
};

} // namespace tallyglass
