// Feeds arbitrary bytes through the line buffer, the JSON reader and the
// payload parser, and checks what each stage promises.

#include "client/JsonLineBuffer.h"
#include "fuzz/FuzzReplay.h"
#include "usage/UsagePayloadParser.h"

#include <QByteArrayView>
#include <QJsonObject>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
        std::abort();
    }
}

void checkSnapshot(const QJsonObject& result)
{
    const auto snapshot = tallyglass::UsagePayloadParser::parse(result, 1.5);
    if (!snapshot)
        return;
    require(snapshot->fiveHour || snapshot->week, "a snapshot holds a window");
    require(snapshot->receivedAt == 1.5, "receivedAt is now");
    for (const auto* window : {&snapshot->fiveHour, &snapshot->week}) {
        if (*window)
            require((*window)->usedPercent >= 0 && (*window)->usedPercent <= 100, "usedPercent clamped");
    }
    require(!snapshot->fiveHour || snapshot->fiveHour->durationMinutes == 300, "fiveHour lasts 300 minutes");
    require(!snapshot->week || snapshot->week->durationMinutes == 10080, "week lasts 10080 minutes");
}

} // namespace

// Byte 0 picks the chunk size, byte 1 the line limit; the rest is the stream.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const qsizetype chunkBytes = data[0] == 0 ? qsizetype(size) : qsizetype(data[0] % 64) + 1;
    const qsizetype maxLineBytes = data[1] < 128 ? qsizetype(data[1]) : tallyglass::JsonLineBuffer::defaultMaxLineBytes;
    const QByteArrayView stream(reinterpret_cast<const char*>(data) + 2, qsizetype(size) - 2);

    tallyglass::JsonLineBuffer buffer(maxLineBytes);
    for (qsizetype at = 0; at < stream.size(); at += chunkBytes) {
        buffer.append(stream.sliced(at, std::min(chunkBytes, stream.size() - at)));
        while (const auto line = buffer.takeLine()) {
            require(!line->contains('\n'), "a line holds no line feed");
            require(line->size() <= maxLineBytes, "a line respects the limit");
            const auto message = tallyglass::JsonLineBuffer::parseObject(*line);
            if (!message)
                continue;
            checkSnapshot(*message);
            checkSnapshot(message->value(QLatin1StringView("result")).toObject());
        }
        require(buffer.pendingBytes() <= maxLineBytes, "an unfinished line stays within the limit");
    }
    return 0;
}

// A few inputs that reach deep into the parser, and JSON-ish pieces so that
// some random inputs parse.
FuzzReplayInputs fuzzReplayInputs()
{
    const std::string answer =
        R"({"id":3,"result":{"rateLimitsByLimitId":{"codex":{"primary":{"usedPercent":42,"windowDurationMins":300,"resetsAt":3600},)"
        R"("secondary":{"usedPercent":"10","windowDurationMins":"10080","resetsAt":"7200"}}},"rateLimits":{}}})";
    FuzzReplayInputs inputs;
    inputs.seeds = {
        std::string("\x00\x00", 2) + answer + "\n",
        std::string("\x07\x00", 2) + answer + "\r\n[1]\n42\n\n{\"rateLimits\":{\"primary\":{\"usedPercent\":1e300,\"windowDurationMins\":300}}}\n",
        std::string("\x03\x10", 2) + "{\"a\":1}\n" + std::string(40, 'x') + "\n{\"b\":2}\npartial",
        std::string("\x00\x00", 2) + R"({"rateLimits":{"primary":{"usedPercent":-9.3e18,"windowDurationMins":300.5,"resetsAt":"-9223372036854775808"}}})" "\n",
    };
    inputs.pieces = {
        "{", "}", "[", "]", ",", ":", "\n", "\r\n", "\"", "\"rateLimits\"", "\"rateLimitsByLimitId\"", "\"codex\"",
        "\"primary\"", "\"secondary\"", "\"usedPercent\"", "\"windowDurationMins\"", "\"resetsAt\"", "\"result\"",
        "300", "10080", "42", "-3", "4.5", "1e300", "-1e300", "9.3e18", "\"42\"", "\"+7\"", "\"-\"", "null", "true", "x",
    };
    inputs.headerBytes = 2;
    return inputs;
}
