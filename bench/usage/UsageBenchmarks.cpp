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

// The whole account/rateLimits/read answer of codex-cli 0.171.0, captured against
// fake-backend's "whole" mode: two buckets, credits, spend control, two banked resets.
const char* const cliAnswerLine = R"({"id":2,"result":{"ordinaryUsageAllowed":null,"rateLimits":{"limitId":"codex","limitName":null,"normalModelSlug":null,"primary":{"usedPercent":37,"windowDurationMins":300,"resetsAt":1796684481},"secondary":{"usedPercent":12,"windowDurationMins":10080,"resetsAt":1797271281},"credits":{"hasCredits":true,"unlimited":false,"balance":"125.5"},"individualLimit":{"limit":"50","used":"12.5","remainingPercent":75,"resetsAt":1796925680},"spendControlReached":false,"planType":"plus","rateLimitReachedType":"workspace_member_usage_limit_reached"},"rateLimitsByLimitId":{"codex_bengalfox":{"limitId":"codex_bengalfox","limitName":"GPT-5.3-Codex-Spark","normalModelSlug":null,"primary":{"usedPercent":40,"windowDurationMins":300,"resetsAt":1796684481},"secondary":{"usedPercent":5,"windowDurationMins":10080,"resetsAt":1797271281},"credits":null,"individualLimit":null,"spendControlReached":null,"planType":"plus","rateLimitReachedType":null},"codex":{"limitId":"codex","limitName":null,"normalModelSlug":null,"primary":{"usedPercent":37,"windowDurationMins":300,"resetsAt":1796684481},"secondary":{"usedPercent":12,"windowDurationMins":10080,"resetsAt":1797271281},"credits":{"hasCredits":true,"unlimited":false,"balance":"125.5"},"individualLimit":{"limit":"50","used":"12.5","remainingPercent":75,"resetsAt":1796925680},"spendControlReached":false,"planType":"plus","rateLimitReachedType":"workspace_member_usage_limit_reached"}},"rateLimitResetCredits":{"availableCount":2,"credits":[{"id":"rlrc-later","resetType":"codexRateLimits","status":"available","grantedAt":1796580080,"expiresAt":1797530480,"title":"Rate limit reset","description":"Resets your Codex usage limits"},{"id":"rlrc-soon","resetType":"codexRateLimits","status":"available","grantedAt":1796662880,"expiresAt":1796738480,"title":"Rate limit reset","description":"Resets your Codex usage limits"}]},"accountId":null,"rateLimitUpsell":null}})";

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

// Both parses of the client's usage read: the snapshot and everything beyond it.
void ParseWholeCliAnswer(benchmark::State& state)
{
    const QJsonObject result = QJsonDocument::fromJson(cliAnswerLine).object().value(QLatin1StringView("result")).toObject();
    const UsageAllowance allowance = UsagePayloadParser::parseAllowance(result);
    if (!UsagePayloadParser::parse(result, 0.0) || allowance.otherLimits.size() != 1 || !allowance.resetCredits
        || !allowance.resetCredits->credits || allowance.resetCredits->credits->size() != 2) {
        state.SkipWithError("the captured answer did not parse whole");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(UsagePayloadParser::parse(result, 0.0));
        benchmark::DoNotOptimize(UsagePayloadParser::parseAllowance(result));
    }
}
BENCHMARK(ParseWholeCliAnswer);

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
