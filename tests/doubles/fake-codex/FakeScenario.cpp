#include "tests/doubles/fake-codex/FakeScenario.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>

namespace tallyglass {

namespace {

QJsonObject happyWindow(int usedPercent, int minutes, qint64 resetsAt)
{
    return QJsonObject{{QStringLiteral("usedPercent"), usedPercent},
                       {QStringLiteral("windowDurationMins"), minutes},
                       {QStringLiteral("resetsAt"), resetsAt}};
}

} // namespace

std::optional<FakeScenario> FakeScenario::load(const QString& path, int childNumber, QString* problem)
{
    if (path.isEmpty())
        return fromChild({});
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *problem = QStringLiteral("cannot read scenario ") + path;
        return std::nullopt;
    }
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (!document.isObject()) {
        *problem = QStringLiteral("scenario is not a JSON object: ") + error.errorString();
        return std::nullopt;
    }
    const QJsonObject root = document.object();
    const QJsonValue children = root.value(QStringLiteral("children"));
    if (!children.isArray())
        return fromChild(root);
    const QJsonArray list = children.toArray();
    if (list.isEmpty())
        return fromChild({});
    const qsizetype index = std::min<qsizetype>(childNumber, list.size()) - 1;
    return fromChild(list.at(std::max<qsizetype>(index, 0)).toObject());
}

FakeScenario FakeScenario::fromChild(const QJsonObject& child)
{
    FakeScenario scenario;
    scenario.happy_ = child.value(QStringLiteral("preset")).toString(QStringLiteral("happy")) == QStringLiteral("happy");
    scenario.ignoreSigterm_ = child.value(QStringLiteral("ignoreSigterm")).toBool(false);
    scenario.grandchild_ = child.value(QStringLiteral("grandchild")).toBool(false);
    scenario.onStart_ = child.value(QStringLiteral("onStart")).toArray();
    const QJsonValue onEof = child.value(QStringLiteral("onEof"));
    scenario.onEof_ = onEof.isArray() ? onEof.toArray() : QJsonArray{QJsonObject{{QStringLiteral("exit"), 0}}};
    scenario.rules_ = child.value(QStringLiteral("rules")).toArray();
    return scenario;
}

std::optional<QJsonArray> FakeScenario::actionsFor(const QString& method, int occurrence, bool isRequest) const
{
    for (const QJsonValue& value : rules_) {
        const QJsonObject rule = value.toObject();
        const QString ruleMethod = rule.value(QStringLiteral("method")).toString();
        if (ruleMethod != method && ruleMethod != QStringLiteral("*"))
            continue;
        const QJsonValue nth = rule.value(QStringLiteral("nth"));
        if (!nth.isUndefined() && nth.toInt(-1) != occurrence)
            continue;
        return rule.value(QStringLiteral("actions")).toArray();
    }
    if (!happy_ || !isRequest)
        return std::nullopt;
    if (presetAnswer(method))
        return QJsonArray{QJsonObject{{QStringLiteral("preset"), true}}};
    return std::nullopt;
}

std::optional<QJsonObject> FakeScenario::presetAnswer(const QString& method)
{
    if (method == QStringLiteral("initialize"))
        return QJsonObject{{QStringLiteral("userAgent"), QStringLiteral("fake")}};
    if (method == QStringLiteral("account/read")) {
        const QJsonObject account{{QStringLiteral("type"), QStringLiteral("chatgpt")},
                                  {QStringLiteral("email"), QStringLiteral("a@example.com")},
                                  {QStringLiteral("planType"), QStringLiteral("plus")}};
        return QJsonObject{{QStringLiteral("account"), account}, {QStringLiteral("requiresOpenaiAuth"), true}};
    }
    if (method == QStringLiteral("account/rateLimits/read"))
        return happyRateLimits();
    if (method == QStringLiteral("account/rateLimitResetCredit/consume"))
        return QJsonObject{{QStringLiteral("outcome"), QStringLiteral("reset")}};
    return std::nullopt;
}

QJsonObject FakeScenario::happyRateLimits()
{
    const QJsonObject limits{{QStringLiteral("limitId"), QStringLiteral("codex")},
                             {QStringLiteral("limitName"), QJsonValue::Null},
                             {QStringLiteral("primary"), happyWindow(37, 300, 1893456000)},
                             {QStringLiteral("secondary"), happyWindow(12, 10080, 1894060800)},
                             {QStringLiteral("credits"), QJsonValue::Null},
                             {QStringLiteral("planType"), QStringLiteral("plus")}};
    return QJsonObject{{QStringLiteral("rateLimits"), limits},
                       {QStringLiteral("rateLimitsByLimitId"), QJsonObject{{QStringLiteral("codex"), limits}}}};
}

} // namespace tallyglass
