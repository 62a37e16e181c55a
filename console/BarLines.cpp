#include "console/BarLines.h"

#include "texts/AllowanceTexts.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace tallyglass {

BarLines::BarLines(ConsoleOptions::Format format, std::function<TimeContext()> now)
    : format_(format)
    , now_(std::move(now))
{
}

std::optional<QByteArray> BarLines::status(const std::optional<ClientStatus>& status)
{
    if (!status) // a reading follows at once
        return std::nullopt;
    if (status->readingUnderway()) {
        // Keep what the bar shows until the reading ends, rather than flash its steps.
        if (!underwaySince_)
            underwaySince_ = now_().now;
        return changed();
    }
    // As in the tray, a status text that ends a reading replaces the usage.
    started_ = true;
    underwaySince_.reset();
    snapshot_.reset();
    statusMessage_ = status->text;
    return changed();
}

std::optional<QByteArray> BarLines::snapshot(const UsageSnapshot& snapshot, const UsageAllowance& allowance)
{
    allowance_ = allowance;
    started_ = true;
    underwaySince_.reset();
    snapshot_ = snapshot;
    statusMessage_.reset();
    return changed();
}

std::optional<QByteArray> BarLines::tick()
{
    return changed();
}

std::optional<double> BarLines::staleAt() const
{
    return underwaySince_ ? std::optional(*underwaySince_ + staleAfterSeconds) : std::nullopt;
}

QString BarLines::barClass(const std::optional<UsageSnapshot>& snapshot, const std::optional<QString>& statusMessage,
                           bool stale)
{
    if (stale)
        return QStringLiteral("stale");
    if (!snapshot || !snapshot->fiveHour)
        return statusMessage ? QStringLiteral("error") : QStringLiteral("ok");
    const std::int64_t left = snapshot->fiveHour->remainingPercent();
    if (left <= 10)
        return QStringLiteral("critical");
    if (left <= 25)
        return QStringLiteral("warning");
    return QStringLiteral("ok");
}

std::optional<QByteArray> BarLines::changed()
{
    const TimeContext context = now_();
    const bool stale = underwaySince_ && context.now >= *staleAt();
    // Nothing is shown before the first reading has ended or has taken long enough.
    if (!started_ && !stale)
        return std::nullopt;
    const StatusTexts texts = started_
        ? StatusTexts::make(snapshot_, statusMessage_, TimeDisplayMode::resetAt, context)
        : StatusTexts::launching();
    QByteArray line;
    if (format_ == ConsoleOptions::Format::Text) {
        line = texts.title.toUtf8();
    } else {
        // The title is on the bar already; its tooltip holds the tray's tooltip and the menu's usage lines.
        QStringList tooltip{texts.toolTip};
        if (snapshot_) {
            const UsageLines usage = UsageLines::make(snapshot_, TimeDisplayMode::resetAt, context);
            tooltip += usage.fiveHour + usage.week;
            // Then what the menu shows beyond the two windows: each other bucket's name
            // and lines, the credits, the reached type, spend control and banked resets.
            const AllowanceLines more = AllowanceLines::make(allowance_, TimeDisplayMode::resetAt, context);
            for (const LimitLines& limit : more.otherLimits)
                tooltip += QStringList{limit.title} + limit.lines;
            tooltip += more.lines;
            if (usage.checked)
                tooltip += *usage.checked;
        }
        QJsonObject object{
            {"text", texts.title},
            {"tooltip", tooltip.join(u'\n')},
            {"class", barClass(snapshot_, statusMessage_, stale)},
        };
        if (snapshot_ && snapshot_->fiveHour)
            object.insert("percentage", qint64(snapshot_->fiveHour->remainingPercent()));
        line = QJsonDocument(object).toJson(QJsonDocument::Compact);
    }
    line += '\n';
    if (line == last_)
        return std::nullopt;
    last_ = line;
    return line;
}

} // namespace tallyglass
