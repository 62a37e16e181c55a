#pragma once
// Append-only record of what one fake app-server child saw. Main thread, except
// recordFromSignal, which is async-signal-safe.

#include <QByteArray>
#include <QString>

namespace tallyglass {

class FakeTranscript {
public:
    // Opens `path` for appending (nothing is recorded when it is empty) and takes the
    // next launch number from the counter file next to it.
    explicit FakeTranscript(const QString& path);
    ~FakeTranscript();

    FakeTranscript(const FakeTranscript&) = delete;
    FakeTranscript& operator=(const FakeTranscript&) = delete;

    int childNumber() const { return childNumber_; }

    // Appends "<n> <kind> <payload>\n" with one write.
    void record(const char* kind, const QByteArray& payload) const;

    // Prepares the line that recordFromSignal writes.
    void prepareSignalLine(const char* kind);
    void recordFromSignal() const;

private:
    static int nextChildNumber(const QString& counterPath);

    int fd_ = -1;
    int childNumber_ = 1;
    char signalLine_[64] = {};
    int signalLineLength_ = 0;
};

} // namespace tallyglass
