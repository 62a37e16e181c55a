#pragma once
// Cuts a byte stream into newline-terminated lines. Not thread-safe: owned by one connection.

#include <QByteArray>
#include <QByteArrayView>
#include <QJsonObject>
#include <optional>

namespace tallyglass {

class JsonLineBuffer {
public:
    // A pending line longer than this is discarded up to its line feed, so a
    // child that never sends one cannot make the buffer grow without bound.
    static constexpr qsizetype defaultMaxLineBytes = 16 * 1024 * 1024;

    explicit JsonLineBuffer(qsizetype maxLineBytes = defaultMaxLineBytes);

    void append(QByteArrayView bytes);

    // The next complete line without its line feed (a carriage return before it
    // stays), or nothing when no complete line is waiting. Lines that grew past
    // the limit are skipped whole.
    std::optional<QByteArray> takeLine();

    void clear();
    qsizetype pendingBytes() const;

    // The line as a JSON object; nothing for empty, invalid, array or scalar lines.
    static std::optional<QJsonObject> parseObject(QByteArrayView line);

private:
    qsizetype maxLineBytes_;
    QByteArray buffer_;
    qsizetype start_ = 0;        // first byte not yet taken
    qsizetype tailStart_ = 0;    // first byte after the last line feed; [start_, tailStart_) holds whole lines
    bool discarding_ = false;    // inside an overlong line, dropping bytes up to its line feed

    void compact();
};

} // namespace tallyglass
