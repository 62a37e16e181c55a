// The client's costs: stopping a well-behaved child, one full reading cycle against a
// fake app-server that answers at once, and the same cycle against the real Codex CLI
// next to the three requests driven directly.
//
// Client-side time is the CPU time of this benchmark process (every thread of it,
// the client's work thread included), taken around each cycle. The app-server is a
// separate process, so its own work is not counted; the benchmark's thread sleeps in
// the event loop while it waits. Pass --smoke for a short run.

#include "bench/ErrorCountingReporter.h"
#include "bench/client/BenchDeliveries.h"
#include "bench/client/DirectAppServer.h"
#include "client/CodexAppServerClient.h"
#include "tests/doubles/fake-backend/FakeBackend.h"
#include "tests/doubles/fake-backend/FakeCodexHome.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <cstring>
#include <vector>

namespace tallyglass {
namespace {

constexpr int waitMs = 30000;

struct Iterations {
    int stop = 30;
    int fakeCycle = 2000;
    int realCycle = 40;
};
Iterations iterations;

// The backend double in its own process, so that its work is not counted as ours.
struct BackendProcess {
    QProcess process;
    QString baseUrl;

    bool start()
    {
        process.start(QStringLiteral(FAKE_BACKEND_PATH), {QStringLiteral("both")});
        if (!process.waitForStarted(waitMs) || !process.waitForReadyRead(waitMs))
            return false;
        baseUrl = QString::fromUtf8(process.readLine()).trimmed();
        return !baseUrl.isEmpty();
    }

    ~BackendProcess()
    {
        process.closeWriteChannel(); // it ends at the end of its input
        if (!process.waitForFinished(5000))
            process.kill();
        process.waitForFinished(5000);
    }
};

void reportMedians(benchmark::State& state, const char* name, const std::vector<double>& samples)
{
    state.counters[name] = benchmark::Counter(median(samples));
}

// (a) stop() on a connected, idle child that ends on SIGTERM or end of input.
void BM_StopWellBehavedChild(benchmark::State& state)
{
    std::vector<double> stops;
    for (auto _ : state) {
        CodexAppServerClient client(QStringLiteral(FAKE_CODEX_PATH));
        BenchDeliveries deliveries(client);
        client.start();
        if (!deliveries.waitForSnapshot(waitMs)) {
            state.SkipWithError("the fake app-server gave no snapshot");
            break;
        }
        const double begin = wallSeconds();
        client.stop();
        const double elapsed = wallSeconds() - begin;
        state.SetIterationTime(elapsed);
        stops.push_back(elapsed * 1e3);
    }
    reportMedians(state, "stop_median_ms", stops);
}

// (b) refresh -> snapshot on a ready connection to a fake that answers at once.
void BM_CycleAgainstFakeAppServer(benchmark::State& state)
{
    CodexAppServerClient client(QStringLiteral(FAKE_CODEX_PATH));
    BenchDeliveries deliveries(client);
    client.start();
    if (!deliveries.waitForSnapshot(waitMs)) {
        state.SkipWithError("the fake app-server gave no snapshot");
        return;
    }
    std::vector<double> cpu;
    std::vector<double> wall;
    for (auto _ : state) {
        const double cpuBegin = processCpuSeconds();
        const double wallBegin = wallSeconds();
        client.refresh();
        if (!deliveries.waitForSnapshot(waitMs)) {
            state.SkipWithError("a cycle gave no snapshot");
            break;
        }
        const double cpuUsed = processCpuSeconds() - cpuBegin;
        state.SetIterationTime(cpuUsed);
        cpu.push_back(cpuUsed * 1e6);
        wall.push_back((wallSeconds() - wallBegin) * 1e6);
    }
    client.stop();
    reportMedians(state, "client_cpu_median_us", cpu);
    reportMedians(state, "wall_median_us", wall);
}

// (c) The real CLI with the local backend double: a client cycle and the same three
// requests written by hand, alternately, so both see the same machine state.
void BM_RealCliClientVersusDirect(benchmark::State& state)
{
    if (!QFileInfo(QStringLiteral(CODEX_CLI_PATH)).isExecutable()) {
        state.SkipWithError("the Codex CLI is missing; run npm ci --prefix tests/system/codex-cli");
        return;
    }
    BackendProcess backend;
    if (!backend.start()) {
        state.SkipWithError("the backend double did not start");
        return;
    }
    QTemporaryDir codexHome;
    FakeCodexHome::writeChatGpt(codexHome.path(), FakeBackend::Config().accountId, backend.baseUrl);
    // The client hands its own environment to the child.
    qputenv("CODEX_HOME", codexHome.path().toLocal8Bit());

    CodexAppServerClient client(QStringLiteral(CODEX_CLI_PATH));
    BenchDeliveries deliveries(client);
    client.start();
    DirectAppServer direct(QStringLiteral(CODEX_CLI_PATH), QProcessEnvironment::systemEnvironment());
    if (!deliveries.waitForSnapshot(waitMs) || !direct.start(waitMs)) {
        state.SkipWithError(qPrintable(QStringLiteral("no first reading: ") + deliveries.lastStatus()));
        return;
    }
    const QJsonObject refreshToken{{"refreshToken", true}};
    std::vector<double> clientWall, clientCpu, directWall;
    for (auto _ : state) {
        const double cpuBegin = processCpuSeconds();
        const double wallBegin = wallSeconds();
        client.refresh();
        if (!deliveries.waitForSnapshot(waitMs)) {
            state.SkipWithError(qPrintable(QStringLiteral("a client cycle failed: ") + deliveries.lastStatus()));
            break;
        }
        const double cpuUsed = processCpuSeconds() - cpuBegin;
        const double clientElapsed = wallSeconds() - wallBegin;

        const double directBegin = wallSeconds();
        const bool answered = direct.request(QStringLiteral("account/read"), refreshToken, waitMs)
            && direct.request(QStringLiteral("account/rateLimits/read"), {}, waitMs)
            && direct.request(QStringLiteral("account/read"), refreshToken, waitMs);
        if (!answered) {
            state.SkipWithError("a direct request was not answered");
            break;
        }
        const double directElapsed = wallSeconds() - directBegin;

        state.SetIterationTime(clientElapsed);
        clientWall.push_back(clientElapsed * 1e3);
        clientCpu.push_back(cpuUsed * 1e3);
        directWall.push_back(directElapsed * 1e3);
    }
    client.stop();
    qunsetenv("CODEX_HOME");

    const double cli = median(directWall);
    reportMedians(state, "client_wall_median_ms", clientWall);
    reportMedians(state, "direct_wall_median_ms", directWall);
    reportMedians(state, "client_cpu_median_ms", clientCpu);
    // The client's own work per cycle as a share of what the CLI takes for the same requests.
    state.counters["client_cpu_share_pct"] = cli > 0 ? 100 * median(clientCpu) / cli : 0;
    state.counters["wall_difference_ms"] = median(clientWall) - cli;
}

void registerAll()
{
    benchmark::RegisterBenchmark("BM_StopWellBehavedChild", BM_StopWellBehavedChild)
        ->Iterations(iterations.stop)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_CycleAgainstFakeAppServer", BM_CycleAgainstFakeAppServer)
        ->Iterations(iterations.fakeCycle)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("BM_RealCliClientVersusDirect", BM_RealCliClientVersusDirect)
        ->Iterations(iterations.realCycle)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
}

} // namespace
} // namespace tallyglass

int main(int argc, char** argv)
{
    std::vector<char*> arguments;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--smoke") == 0)
            tallyglass::iterations = {2, 20, 2};
        else
            arguments.push_back(argv[i]);
    }
    int count = int(arguments.size());
    QCoreApplication app(count, arguments.data());
    benchmark::Initialize(&count, arguments.data());
    tallyglass::registerAll();
    tallyglass::ErrorCountingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return reporter.errors() == 0 ? 0 : 1;
}
