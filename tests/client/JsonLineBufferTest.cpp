#include "client/JsonLineBuffer.h"

#include <QJsonArray>

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace tallyglass {
namespace {

std::vector<QByteArray> takeAll(JsonLineBuffer& buffer)
{
    std::vector<QByteArray> lines;
    while (auto line = buffer.takeLine())
        lines.push_back(*line);
    return lines;
}

// What any chunking of `stream` must yield: lines split on LF, lines longer
// than maxLineBytes dropped, the unfinished tail left pending.
std::vector<QByteArray> referenceLines(const QByteArray& stream, qsizetype maxLineBytes)
{
    std::vector<QByteArray> lines;
    qsizetype begin = 0;
    for (qsizetype end; (end = stream.indexOf('\n', begin)) >= 0; begin = end + 1) {
        if (end - begin <= maxLineBytes)
            lines.push_back(stream.mid(begin, end - begin));
    }
    return lines;
}

TEST(JsonLineBuffer, EverySplitIntoThreeChunksGivesTheSameLines)
{
    const QByteArray stream = "{\"a\":1}\n[1]\n{\"b\":2}\r\n\n42\nnot json\n{\"c\":3}\npartial";
    const std::vector<QByteArray> expected{"{\"a\":1}", "[1]", "{\"b\":2}\r", "", "42", "not json", "{\"c\":3}"};
    for (qsizetype i = 0; i <= stream.size(); ++i) {
        for (qsizetype j = i; j <= stream.size(); ++j) {
            JsonLineBuffer buffer;
            std::vector<QByteArray> lines;
            for (const auto& chunk : {stream.first(i), stream.sliced(i, j - i), stream.sliced(j)}) {
                buffer.append(chunk);
                for (auto& line : takeAll(buffer))
                    lines.push_back(line);
            }
            ASSERT_EQ(lines, expected) << "split at " << i << " and " << j;
            ASSERT_EQ(buffer.pendingBytes(), 7) << "\"partial\" waits for its line feed";
        }
    }
}

TEST(JsonLineBuffer, LineWaitsForItsLineFeed)
{
    JsonLineBuffer buffer;
    buffer.append("{\"id\":1,");
    EXPECT_EQ(buffer.takeLine(), std::nullopt);
    buffer.append("\"result\":{}}");
    EXPECT_EQ(buffer.takeLine(), std::nullopt);
    buffer.append("\n{");
    EXPECT_EQ(buffer.takeLine(), QByteArray("{\"id\":1,\"result\":{}}"));
    EXPECT_EQ(buffer.takeLine(), std::nullopt);
    EXPECT_EQ(buffer.pendingBytes(), 1);
}

TEST(JsonLineBuffer, RandomChunkingMatchesReference)
{
    std::mt19937 random(12345);
    for (const qsizetype maxLineBytes : {qsizetype(0), qsizetype(5), qsizetype(40), JsonLineBuffer::defaultMaxLineBytes}) {
        QByteArray stream;
        for (int line = 0; line < 400; ++line) {
            const int length = std::uniform_int_distribution<int>(0, 60)(random);
            for (int k = 0; k < length; ++k)
                stream += char('a' + k % 26);
            stream += (line % 7 == 3) ? "\r\n" : "\n";
        }
        stream += "unfinished";

        JsonLineBuffer buffer(maxLineBytes);
        std::vector<QByteArray> lines;
        for (qsizetype at = 0; at < stream.size();) {
            const qsizetype size = std::min<qsizetype>(std::uniform_int_distribution<int>(0, 150)(random), stream.size() - at);
            buffer.append(stream.sliced(at, size));
            at += size;
            // Sometimes let chunks pile up before taking lines.
            if (random() % 3 != 0) {
                for (auto& line : takeAll(buffer))
                    lines.push_back(line);
            }
        }
        for (auto& line : takeAll(buffer))
            lines.push_back(line);
        EXPECT_EQ(lines, referenceLines(stream, maxLineBytes)) << "maxLineBytes " << maxLineBytes;
        EXPECT_EQ(buffer.pendingBytes(), maxLineBytes >= 10 ? 10 : 0) << "maxLineBytes " << maxLineBytes;
    }
}

TEST(JsonLineBuffer, OverlongLineIsDroppedAndTheNextLineDelivered)
{
    const QByteArray exact(16, 'x');
    const QByteArray overlong(17, 'y');
    const struct {
        const char* name;
        std::vector<QByteArray> chunks;
    } cases[] = {
        {"one chunk", {"a\n" + overlong + "\n" + exact + "\nb\n"}},
        {"overlong line split", {"a\n" + overlong.first(10), overlong.sliced(10), "\n" + exact + "\nb\n"}},
        {"line feed arrives alone", {"a\n" + overlong, "\n", exact + "\nb\n"}},
        {"byte by byte", {}},
    };
    const QByteArray whole = "a\n" + overlong + "\n" + exact + "\nb\n";
    for (const auto& c : cases) {
        std::vector<QByteArray> chunks = c.chunks;
        if (chunks.empty()) {
            for (char byte : whole)
                chunks.push_back(QByteArray(1, byte));
        }
        JsonLineBuffer buffer(16);
        std::vector<QByteArray> lines;
        for (const auto& chunk : chunks) {
            buffer.append(chunk);
            for (auto& line : takeAll(buffer))
                lines.push_back(line);
        }
        EXPECT_EQ(lines, (std::vector<QByteArray>{"a", exact, "b"})) << c.name;
        EXPECT_EQ(buffer.pendingBytes(), 0) << c.name;
    }
}

TEST(JsonLineBuffer, NeverEndingLineKeepsMemoryBounded)
{
    constexpr qsizetype limit = 64 * 1024;
    JsonLineBuffer buffer(limit);
    buffer.append("{\"before\":1}\n");
    const QByteArray chunk(4096, 'z');
    for (int i = 0; i < 1024; ++i) { // 4 MiB without a line feed
        buffer.append(chunk);
        ASSERT_LE(buffer.pendingBytes(), limit + 16 + qsizetype(sizeof("{\"before\":1}\n"))) << "after chunk " << i;
    }
    // The complete line before the runaway one is still there.
    EXPECT_EQ(buffer.takeLine(), QByteArray("{\"before\":1}"));
    EXPECT_EQ(buffer.takeLine(), std::nullopt);
    buffer.append(chunk + "\n{\"after\":2}\n");
    EXPECT_EQ(takeAll(buffer), (std::vector<QByteArray>{"{\"after\":2}"}));
}

TEST(JsonLineBuffer, ClearForgetsPendingBytesAndDiscarding)
{
    JsonLineBuffer buffer(8);
    buffer.append("one\ntwo\n" + QByteArray(20, 'q'));
    buffer.clear();
    EXPECT_EQ(buffer.pendingBytes(), 0);
    EXPECT_EQ(buffer.takeLine(), std::nullopt);
    buffer.append("three\n");
    EXPECT_EQ(buffer.takeLine(), QByteArray("three")) << "a cleared buffer must not keep discarding";
}

TEST(JsonLineBufferParseObject, AcceptsOnlyObjects)
{
    const struct {
        QByteArray line;
        bool object;
    } cases[] = {
        {"{}", true},
        {"{\"id\":1,\"result\":{\"a\":[1,2]}}", true},
        {"{\"id\":1}\r", true},
        {" \t{\"id\":1} \r", true},
        {"{\"url\":\"https:\\/\\/chatgpt.com\"}", true},
        {"", false},
        {"\r", false},
        {"[1,2]", false},
        {"[]", false},
        {"42", false},
        {"\"text\"", false},
        {"true", false},
        {"null", false},
        {"not json", false},
        {"{\"id\":1", false},
        {"{\"id\":1}x", false},
        {"{}{}", false},
        {"{\"a\":1,}", false},
        {QByteArray(5000, '[') + QByteArray(5000, ']'), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(JsonLineBuffer::parseObject(c.line).has_value(), c.object) << c.line.left(60).constData();
}

TEST(JsonLineBufferParseObject, ReturnsTheObject)
{
    const auto object = JsonLineBuffer::parseObject("{\"id\":7,\"result\":{\"ok\":true}}\r");
    ASSERT_TRUE(object);
    EXPECT_EQ(object->value(QLatin1StringView("id")).toInteger(), 7);
    EXPECT_TRUE(object->value(QLatin1StringView("result")).toObject().value(QLatin1StringView("ok")).toBool());

    // A view into the middle of a larger buffer parses only its own bytes.
    const QByteArray text = "{\"a\":1}{\"b\":2}";
    const auto first = JsonLineBuffer::parseObject(QByteArrayView(text).first(7));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->keys(), QStringList{QStringLiteral("a")});
}

} // namespace
} // namespace tallyglass
