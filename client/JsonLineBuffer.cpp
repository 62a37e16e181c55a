#include "JsonLineBuffer.h"

#include <QJsonDocument>
#include <QJsonParseError>

#include <algorithm>
#include <cstring>

namespace tallyglass {

namespace {

constexpr char lineFeed = '\n';

const char* findLast(const char* begin, qsizetype size)
{
    return static_cast<const char*>(::memrchr(begin, lineFeed, std::size_t(size)));
}

const char* findFirst(const char* begin, qsizetype size)
{
    return static_cast<const char*>(std::memchr(begin, lineFeed, std::size_t(size)));
}

} // namespace

JsonLineBuffer::JsonLineBuffer(qsizetype maxLineBytes)
    : maxLineBytes_(std::max<qsizetype>(maxLineBytes, 0))
{
}

void JsonLineBuffer::append(QByteArrayView bytes)
{
    if (discarding_) {
        // Still inside an overlong line: drop everything up to and including its line feed.
        const char* end = findFirst(bytes.data(), bytes.size());
        if (!end)
            return;
        bytes = bytes.sliced(end - bytes.data() + 1);
        discarding_ = false;
    }
    if (bytes.isEmpty())
        return;

    compact();
    const qsizetype oldSize = buffer_.size();
    buffer_.append(bytes.data(), bytes.size());

    // Only the new bytes are searched, from the back: the last line feed marks
    // where the unfinished line begins.
    if (const char* last = findLast(bytes.data(), bytes.size()))
        tailStart_ = oldSize + (last - bytes.data()) + 1;

    if (buffer_.size() - tailStart_ > maxLineBytes_) {
        // The unfinished line is already too long; whole lines before it stay.
        buffer_.truncate(tailStart_);
        discarding_ = true;
    }
}

std::optional<QByteArray> JsonLineBuffer::takeLine()
{
    while (start_ < tailStart_) {
        // A line feed lies before tailStart_, so the search always succeeds.
        const char* begin = buffer_.constData() + start_;
        const char* end = findFirst(begin, tailStart_ - start_);
        const qsizetype length = end - begin;
        start_ += length + 1;
        if (length <= maxLineBytes_)
            return QByteArray(begin, length);
    }
    return std::nullopt;
}

void JsonLineBuffer::clear()
{
    buffer_.clear();
    start_ = 0;
    tailStart_ = 0;
    discarding_ = false;
}

qsizetype JsonLineBuffer::pendingBytes() const
{
    return buffer_.size() - start_;
}

// Drops taken bytes from the front once they make up at least half of the
// buffer, so each byte is moved a bounded number of times.
void JsonLineBuffer::compact()
{
    if (start_ == 0)
        return;
    if (start_ == buffer_.size()) {
        buffer_.truncate(0);
    } else if (start_ >= buffer_.size() - start_) {
        buffer_.remove(0, start_);
    } else {
        return;
    }
    tailStart_ -= start_;
    start_ = 0;
}

std::optional<QJsonObject> JsonLineBuffer::parseObject(QByteArrayView line)
{
    if (line.isEmpty())
        return std::nullopt;
    QJsonParseError error{};
    // The view's bytes outlive the call, so no copy is needed.
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromRawData(line.data(), line.size()), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

} // namespace tallyglass
