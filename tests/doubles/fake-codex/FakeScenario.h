#pragma once
// What one fake app-server child does, read from the scenario file. Immutable after load; main thread.

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <optional>

namespace tallyglass {

class FakeScenario {
public:
    // The description for launch `childNumber` (1-based) from the file at `path`; an
    // empty path gives the happy preset with no rules. A file that cannot be read or
    // parsed gives nothing.
    static std::optional<FakeScenario> load(const QString& path, int childNumber, QString* problem);
    static FakeScenario fromChild(const QJsonObject& child);

    bool ignoresSigterm() const { return ignoreSigterm_; }
    bool startsGrandchild() const { return grandchild_; }
    const QJsonArray& onStart() const { return onStart_; }
    const QJsonArray& onEof() const { return onEof_; }

    // The actions for the `occurrence`-th message (1-based) with this method, or
    // nothing when neither a rule nor the preset has an answer.
    std::optional<QJsonArray> actionsFor(const QString& method, int occurrence, bool isRequest) const;

    // The happy preset's result for a request with this method, if it has one.
    static std::optional<QJsonObject> presetAnswer(const QString& method);
    static QJsonObject happyRateLimits();

private:
    bool happy_ = true;
    bool ignoreSigterm_ = false;
    bool grandchild_ = false;
    QJsonArray onStart_;
    QJsonArray onEof_;
    QJsonArray rules_;
};

} // namespace tallyglass
