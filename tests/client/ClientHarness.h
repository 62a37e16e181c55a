#pragma once
// Runs a CodexAppServerClient against fake-codex in a temporary directory and records
// what it publishes. Main thread only (the thread that runs the QCoreApplication).

#include "client/CodexAppServerClient.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <atomic>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <optional>

namespace tallyglass {

// One line of the fake's transcript: "<child> <kind> <payload>".
struct TranscriptLine {
    int child = 0;
    QString kind;
    QByteArray payload;
};

struct ClientOptions {
    // Absent: the fake's own path. Set to a path to launch something else.
    std::optional<QString> executable;
    // True: no executable at all, so the client asks its locator.
    bool locate = false;
    double requestTimeout = 20;
    double recoveryCooldown = 60;

    static ClientOptions withExecutable(const QString& path)
    {
        ClientOptions options;
        options.executable = path;
        return options;
    }
    static ClientOptions withTimeout(double seconds)
    {
        ClientOptions options;
        options.requestTimeout = seconds;
        return options;
    }
    static ClientOptions locating()
    {
        ClientOptions options;
        options.locate = true;
        return options;
    }
};

class ClientHarness {
public:
    ClientHarness();
    ~ClientHarness(); // stops and destroys the client

    ClientHarness(const ClientHarness&) = delete;
    ClientHarness& operator=(const ClientHarness&) = delete;

    static QString fakePath();
    QString dir() const { return dir_.path(); }

    // The scenario the fake reads (see tools/fake-codex/README.md); may change between launches.
    void setScenario(const QByteArray& json);

    CodexAppServerClient& createClient(const ClientOptions& options = {});
    CodexAppServerClient& client() { return *client_; }
    void destroyClient(); // stop() and destroy

    // The injected wall clock, in seconds since 1970; starts at 1'700'000'000.
    void advanceWallClock(double seconds) { wallClock_ = wallClock_.load() + seconds; }

    // Deliveries in order: "status:<text>", "status:null", "snapshot:<formatted>".
    const QStringList& events() const { return events_; }
    static QString format(const UsageSnapshot& snapshot);
    static QString happySnapshot(); // what the fake's happy preset yields

    // Waits (bounded) until the event list holds `event` at or after index `from`.
    testing::AssertionResult waitForEvent(const QString& event, int timeoutMs = 5000, qsizetype from = 0);
    testing::AssertionResult waitForEventCount(qsizetype count, int timeoutMs = 5000);
    // Waits until a transcript line of `child` has this kind (and payload, when given).
    testing::AssertionResult waitForTranscript(int child, const QString& kind, const QByteArray& payload = {},
                                               int timeoutMs = 5000);
    // Waits until `condition` holds, describing it as `what` on failure.
    testing::AssertionResult waitFor(const std::function<bool()>& condition, const QString& what, int timeoutMs = 5000);
    // Lets queued deliveries arrive for `ms` milliseconds (used to show that nothing more comes).
    static void settle(int ms);

    QList<TranscriptLine> transcript() const;
    QList<TranscriptLine> transcript(int child) const;
    int childCount() const;
    // Lines the child received on stdin, raw and parsed as JSON objects.
    QList<QByteArray> receivedLines(int child) const;
    QList<QJsonObject> received(int child) const;
    // Methods of the received messages, e.g. {"initialize", "initialized", "account/read"}.
    QStringList receivedMethods(int child) const;
    std::optional<QByteArray> firstPayload(int child, const QString& kind) const;

    QString transcriptPath() const;
    QString scenarioPath() const;

private:
    QTemporaryDir dir_;
    std::unique_ptr<CodexAppServerClient> client_;
    QStringList events_;
    std::atomic<double> wallClock_{1'700'000'000.0};
};

// Live processes whose parent is this process, as "<pid> <state>" (zombies included).
QStringList childProcessesOfThisProcess();
// How many file descriptors this process has open.
int openDescriptorCount();
// The current user's home directory from the password database.
QString passwordDatabaseHome();
QJsonObject parseObject(const QByteArray& json);

} // namespace tallyglass
