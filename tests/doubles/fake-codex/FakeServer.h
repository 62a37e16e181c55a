#pragma once
// Reads requests on standard input and plays the scenario's actions. Main thread only.

#include "tests/doubles/fake-codex/FakeScenario.h"
#include "tests/doubles/fake-codex/FakeTranscript.h"

#include <QByteArray>
#include <QHash>
#include <QJsonValue>
#include <QSocketNotifier>
#include <memory>

namespace tallyglass {

class FakeServer {
public:
    FakeServer(FakeScenario scenario, const FakeTranscript& transcript);

    // Runs onStart and begins reading standard input.
    void start();

private:
    void readInput();
    void handleLine(const QByteArray& line);
    void runActions(const QJsonArray& actions, const QJsonValue& id, const QString& method);
    void closeInput();

    FakeScenario scenario_;
    const FakeTranscript& transcript_;
    std::unique_ptr<QSocketNotifier> inputNotifier_;
    QByteArray pending_;
    QHash<QString, int> seen_;
};

} // namespace tallyglass
