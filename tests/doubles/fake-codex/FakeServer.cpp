#include "tests/doubles/fake-codex/FakeServer.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <climits>
#include <csignal>
#include <functional>
#include <utility>
#include <unistd.h>

namespace tallyglass {

namespace {

void writeAll(int fd, const QByteArray& bytes)
{
    const char* data = bytes.constData();
    qsizetype size = bytes.size();
    while (size > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(size));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return; // the reader has gone; nothing useful is left to do with the bytes
        }
        data += written;
        size -= written;
    }
}

QByteArray compact(const QJsonValue& value)
{
    // QJsonDocument holds only objects and arrays; wrap scalars and strip the brackets.
    const QByteArray wrapped = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return wrapped.mid(1, wrapped.size() - 2);
}

QJsonValue substituteId(const QJsonValue& value, const QJsonValue& id)
{
    if (value.isString() && value.toString() == QStringLiteral("$id"))
        return id;
    if (value.isArray()) {
        QJsonArray copy;
        for (const QJsonValue& item : value.toArray())
            copy.append(substituteId(item, id));
        return copy;
    }
    if (value.isObject()) {
        QJsonObject copy;
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it)
            copy.insert(it.key(), substituteId(it.value(), id));
        return copy;
    }
    return value;
}

// Writes `line` to standard output for ever, whenever the pipe has room, in writes
// of at most PIPE_BUF bytes so that none of them blocks; input is still read meanwhile.
// Records `note flooded` once `noteAfterBytes` (when above 0) have been written.
void startFlood(const QByteArray& line, qint64 noteAfterBytes, const FakeTranscript* transcript)
{
    QByteArray chunk = line;
    while (chunk.size() + line.size() <= PIPE_BUF)
        chunk += line;
    auto* notifier = new QSocketNotifier(STDOUT_FILENO, QSocketNotifier::Write, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                     [notifier, chunk, noteAfterBytes, transcript, written = qint64(0)]() mutable {
        const ssize_t n = ::write(STDOUT_FILENO, chunk.constData(), static_cast<size_t>(chunk.size()));
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            notifier->setEnabled(false); // the reader has gone
        if (n > 0 && written < noteAfterBytes && (written += n) >= noteAfterBytes)
            transcript->record("note", "flooded");
    });
}

// One action list in progress; a sleep pauses only this list.
struct ActionRun : std::enable_shared_from_this<ActionRun> {
    QJsonArray actions;
    QJsonValue id;
    QString method;
    const FakeScenario* scenario = nullptr;
    const FakeTranscript* transcript = nullptr;
    std::function<void()> closeInput;
    qsizetype next = 0;

    QByteArray rawText(const QJsonValue& value) const
    {
        return value.toString().toUtf8().replace("$id", compact(id.isUndefined() ? QJsonValue() : id));
    }

    QByteArray lineEnd(const QJsonObject& action) const
    {
        return action.value(QStringLiteral("eol")).toString(QStringLiteral("\n")).toUtf8();
    }

    void writeChunks(const QJsonArray& chunks, qsizetype index, int pauseMs)
    {
        if (index >= chunks.size()) {
            step();
            return;
        }
        writeAll(STDOUT_FILENO, rawText(chunks.at(index)));
        if (index + 1 >= chunks.size()) {
            step();
            return;
        }
        auto self = shared_from_this();
        QTimer::singleShot(pauseMs, [self, chunks, index, pauseMs] { self->writeChunks(chunks, index + 1, pauseMs); });
    }

    void step()
    {
        while (next < actions.size()) {
            const QJsonObject action = actions.at(next++).toObject();
            if (action.contains(QStringLiteral("result")) || action.contains(QStringLiteral("error"))) {
                const QString key = action.contains(QStringLiteral("result")) ? QStringLiteral("result") : QStringLiteral("error");
                const QJsonObject answer{{QStringLiteral("id"), id.isUndefined() ? QJsonValue() : id},
                                         {key, substituteId(action.value(key), id)}};
                writeAll(STDOUT_FILENO, compact(answer) + lineEnd(action));
            } else if (action.contains(QStringLiteral("preset"))) {
                if (const auto answer = FakeScenario::presetAnswer(method)) {
                    const QJsonObject message{{QStringLiteral("id"), id.isUndefined() ? QJsonValue() : id},
                                              {QStringLiteral("result"), *answer}};
                    writeAll(STDOUT_FILENO, compact(message) + lineEnd(action));
                }
            } else if (action.contains(QStringLiteral("closeStdin"))) {
                closeInput();
            } else if (action.contains(QStringLiteral("send"))) {
                writeAll(STDOUT_FILENO, compact(substituteId(action.value(QStringLiteral("send")), id)) + lineEnd(action));
            } else if (action.contains(QStringLiteral("recordFile"))) {
                QFile file(action.value(QStringLiteral("recordFile")).toString());
                transcript->record("file", file.open(QIODevice::ReadOnly) ? file.readAll().trimmed()
                                                                          : QByteArray("<absent>"));
            } else if (action.contains(QStringLiteral("note"))) {
                transcript->record("note", rawText(action.value(QStringLiteral("note"))));
            } else if (action.contains(QStringLiteral("flood"))) {
                startFlood(compact(substituteId(action.value(QStringLiteral("flood")), id)) + lineEnd(action),
                           qint64(action.value(QStringLiteral("noteAfterBytes")).toDouble()), transcript);
                return; // the flood never ends, so neither does this list
            } else if (action.contains(QStringLiteral("raw"))) {
                writeAll(STDOUT_FILENO, rawText(action.value(QStringLiteral("raw"))));
            } else if (action.contains(QStringLiteral("chunks"))) {
                writeChunks(action.value(QStringLiteral("chunks")).toArray(), 0,
                            action.value(QStringLiteral("pauseMs")).toInt(50));
                return; // writeChunks carries on with the rest of the list
            } else if (action.contains(QStringLiteral("stderr"))) {
                const QByteArray text = rawText(action.value(QStringLiteral("stderr")));
                writeAll(STDERR_FILENO, text.repeated(std::max(action.value(QStringLiteral("repeat")).toInt(1), 0)));
            } else if (action.contains(QStringLiteral("sleep"))) {
                auto self = shared_from_this();
                QTimer::singleShot(action.value(QStringLiteral("sleep")).toInt(), [self] { self->step(); });
                return;
            } else if (action.contains(QStringLiteral("exit"))) {
                const int code = action.value(QStringLiteral("exit")).toInt();
                transcript->record("exit", QByteArray::number(code));
                ::_exit(code);
            } else if (action.contains(QStringLiteral("raise"))) {
                const int signalNumber = action.value(QStringLiteral("raise")).toInt();
                transcript->record("raise", QByteArray::number(signalNumber));
                std::signal(signalNumber, SIG_DFL);
                std::raise(signalNumber);
            }
        }
    }
};

} // namespace

FakeServer::FakeServer(FakeScenario scenario, const FakeTranscript& transcript)
    : scenario_(std::move(scenario))
    , transcript_(transcript)
{
}

void FakeServer::start()
{
    runActions(scenario_.onStart(), QJsonValue(QJsonValue::Undefined), {});
    inputNotifier_ = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(inputNotifier_.get(), &QSocketNotifier::activated, [this] { readInput(); });
}

void FakeServer::readInput()
{
    char buffer[65536];
    const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (got < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (got <= 0) {
        inputNotifier_->setEnabled(false);
        if (!pending_.isEmpty())
            handleLine(std::exchange(pending_, {}));
        transcript_.record("eof", {});
        runActions(scenario_.onEof(), QJsonValue(QJsonValue::Undefined), {});
        return;
    }
    pending_.append(buffer, got);
    qsizetype newline;
    while ((newline = pending_.indexOf('\n')) >= 0) {
        const QByteArray line = pending_.left(newline);
        pending_.remove(0, newline + 1);
        handleLine(line);
    }
}

void FakeServer::handleLine(const QByteArray& line)
{
    transcript_.record("in", line);
    const QJsonDocument document = QJsonDocument::fromJson(line);
    if (!document.isObject())
        return;
    const QJsonObject message = document.object();
    const QJsonValue method = message.value(QStringLiteral("method"));
    if (!method.isString())
        return;
    const int occurrence = ++seen_[method.toString()];
    const QJsonValue id = message.value(QStringLiteral("id"));
    if (const auto actions = scenario_.actionsFor(method.toString(), occurrence, !id.isUndefined()))
        runActions(*actions, id, method.toString());
}

void FakeServer::closeInput()
{
    if (inputNotifier_)
        inputNotifier_->setEnabled(false);
    inputNotifier_.reset();
    ::close(STDIN_FILENO);
    transcript_.record("closed-stdin", {});
}

void FakeServer::runActions(const QJsonArray& actions, const QJsonValue& id, const QString& method)
{
    if (actions.isEmpty())
        return;
    auto run = std::make_shared<ActionRun>();
    run->actions = actions;
    run->id = id;
    run->method = method;
    run->scenario = &scenario_;
    run->transcript = &transcript_;
    run->closeInput = [this] { closeInput(); };
    run->step();
}

} // namespace tallyglass
