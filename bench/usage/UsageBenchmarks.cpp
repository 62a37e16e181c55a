#include "bench/ErrorCountingReporter.h"
#include "client/JsonLineBuffer.h"
#include "usage/UsagePayloadParser.h"

#include <QJsonDocument>

#include <benchmark/benchmark.h>

namespace tallyglass {
namespace {

// An account/rateLimits/read answer shaped like the app-server's.
const char* const answerLine =
    R"({"id":3,"result":{"rateLimitsByLimitId":{)"
    R"("codex":{"limitId":"codex","limitName":null,"primary":{"usedPercent":42,"windowDurationMins":300,"resetsAt":1767225600},)"
    R"("secondary":{"usedPercent":10,"windowDurationMins":10080,"resetsAt":1767744000},)"
    R"("credits":{"hasCredits":true,"unlimited":false,"balance":"12.50"},"planType":"plus"},)"
    R"("codex_other":{"limitId":"codex_other","limitName":"other","primary":{"usedPercent":3,"windowDurationMins":300,"resetsAt":1767225600},)"
    R"("secondary":{"usedPercent":1,"windowDurationMins":10080,"resetsAt":1767744000},"credits":null,"planType":"plus"},)"
    R"("codex_bengalfox":{"limitId":"codex_bengalfox","primary":{"usedPercent":0,"windowDurationMins":300,"resetsAt":1767225600},)"
    R"("secondary":null,"credits":null,"planType":"plus"}},)"
    R"("rateLimits":{"limitId":"codex","primary":{"usedPercent":42,"windowDurationMins":300,"resetsAt":1767225600},)"
    R"("secondary":{"usedPercent":10,"windowDurationMins":10080,"resetsAt":1767744000},)"
    R"("credits":{"hasCredits":true,"unlimited":false,"balance":"12.50"},"planType":"plus"}}})";

void ParseResultObject(benchmark::State& state)
{
    const QJsonObject result = QJsonDocument::fromJson(answerLine).object().value(QLatin1StringView("result")).toObject();
    if (!UsagePayloadParser::parse(result, 0.0)) {
        state.SkipWithError("sample result gave no snapshot");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(UsagePayloadParser::parse(result, 0.0));
}
BENCHMARK(ParseResultObject);

void ParseAnswerLine(benchmark::State& state)
{
    const QByteArray line(answerLine);
    for (auto _ : state) {
        const auto message = JsonLineBuffer::parseObject(line);
        const QJsonObject result = message->value(QLatin1StringView("result")).toObject();
        benchmark::DoNotOptimize(UsagePayloadParser::parse(result, 0.0));
    }
    state.SetBytesProcessed(state.iterations() * line.size());
}
BENCHMARK(ParseAnswerLine);

// 1 KiB lines arriving in 4 KiB chunks whose edges fall anywhere in a line.
void CutLines(benchmark::State& state)
{
    constexpr qsizetype lineBytes = 1024;
    constexpr qsizetype chunkBytes = 4096;
    QByteArray stream;
    for (int i = 0; i < 1000; ++i)
        stream += QByteArray(lineBytes - 1 - (i % 5), 'x') + QByteArray(i % 5, 'y') + '\n';

    JsonLineBuffer buffer;
    qsizetype lines = 0;
    for (auto _ : state) {
        for (qsizetype at = 0; at < stream.size(); at += chunkBytes) {
            buffer.append(QByteArrayView(stream).sliced(at, std::min(chunkBytes, stream.size() - at)));
            while (auto line = buffer.takeLine())
                lines += line->size() > 0;
        }
    }
    benchmark::DoNotOptimize(lines);
    state.SetBytesProcessed(state.iterations() * stream.size());
}
BENCHMARK(CutLines);

} // namespace
} // namespace tallyglass

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    tallyglass::ErrorCountingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return reporter.errors() == 0 ? 0 : 1;
}
