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

    // The scenario the fake reads (see tests/doubles/fake-codex/README.md); may change between launches.
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
    // Lets queued deliveries arrive for `ms` milliseconds.
    static void settle(int ms);

    // Round trips that show nothing more is on its way, instead of waiting a while.
    //
    // barrier(): for a connected, idle client whose child answers the next cycle with the
    // happy preset. Refreshes and waits for that cycle's snapshot. The child answers in
    // order and the client handles its output and publishes in order, so by then all the
    // child sent before has been handled and delivered; anything that came in between
    // stays in events(). The barrier's own events (happyRefresh) and requests (read,
    // limits, read) are then taken off events() and receivedLines().
    testing::AssertionResult barrier(int timeoutMs = 5000);
    // drain(): for a client whose connection has ended (or never began). stop() is a
    // blocking round trip to the client's thread; then everything it published before
    // is delivered here. With no child and no pending check left, nothing can follow.
    void drain();
    // Delivers what is already queued for this thread (after the client is gone, say).
    static void deliverQueued();
    // Waits until the client has read all that `child` wrote to its standard output so
    // far (the pipe holds nothing unread), without running this thread's event loop.
    testing::AssertionResult waitUntilOutputRead(int child, int timeoutMs = 5000);

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
    QList<QByteArray> barrierLines_; // received lines the barriers added, hidden from receivedLines
    std::atomic<double> wallClock_{1'700'000'000.0};
    bool allowanceWaiting_ = false; // an allowance arrived and its snapshot not yet
};

// Live processes whose parent is this process, as "<pid> <state>" (zombies included).
QStringList childProcessesOfThisProcess();
// Live (not zombie) processes in process group `group`, as "<pid> <state>".
QStringList liveProcessesInGroup(qint64 group);
// Whether `pid` is a live process (not a zombie).
bool isLiveProcess(qint64 pid);
// The pid in a "pid <n>" transcript payload; 0 when absent.
qint64 pidFromPayload(const std::optional<QByteArray>& payload);
// How many file descriptors this process has open.
int openDescriptorCount();
// The current user's home directory from the password database.
QString passwordDatabaseHome();
QJsonObject parseObject(const QByteArray& json);

} // namespace tallyglass
