#include "console/StatusConsole.h"

#include "client/CodexAppServerClient.h"
#include "console/DeliveryJson.h"
#include "history/StateFolder.h"
#include "texts/AllowanceTexts.h"

#include <QDateTime>
#include <QTimeZone>
#include <cmath>
#include <utility>

namespace tallyglass {

namespace {

int milliseconds(double seconds)
{
    return static_cast<int>(std::lround(seconds * 1000));
}

} // namespace

StatusConsole::StatusConsole(CodexAppServerClient& client, ConsoleOptions options, LineWriter writeLine,
                             QObject* parent)
    : QObject(parent)
    , client_(client)
    , options_(options)
    , writeLine_(std::move(writeLine))
{
    if (options_.format != ConsoleOptions::Format::Json)
        bar_.emplace(options_.format, [] {
            return TimeContext{QDateTime::currentMSecsSinceEpoch() / 1000.0, QTimeZone::systemTimeZone()};
        });
    deadline_.setSingleShot(true);
    deadline_.setTimerType(Qt::PreciseTimer);
    connect(&deadline_, &QTimer::timeout, this, [this] {
        if (onDiagnostic)
            onDiagnostic(QStringLiteral("no result within %1 seconds").arg(options_.timeoutSeconds));
        finish(TimedOut);
    });
    connect(&refreshTimer_, &QTimer::timeout, this, [this] { client_.refresh(); });
    staleTimer_.setSingleShot(true);
    staleTimer_.setTimerType(Qt::PreciseTimer);
    // print() arms it again when it fired a little early.
    connect(&staleTimer_, &QTimer::timeout, this, [this] { print(bar_->tick()); });
}

void StatusConsole::begin()
{
    connect(&client_, &CodexAppServerClient::statusChanged, this, &StatusConsole::deliverStatus);
    connect(&client_, &CodexAppServerClient::allowancePublished, this,
            [this](const UsageAllowance& allowance) { allowance_ = allowance; });
    connect(&client_, &CodexAppServerClient::snapshotPublished, this, &StatusConsole::deliverSnapshot);
    client_.start();
    if (options_.mode == ConsoleOptions::Mode::Watch) {
        refreshTimer_.start(milliseconds(options_.watchSeconds));
    } else {
        deadline_.start(milliseconds(options_.timeoutSeconds));
    }
}

void StatusConsole::interrupt(int signalNumber)
{
    finish(options_.mode == ConsoleOptions::Mode::Watch ? Reading : 128 + signalNumber);
}

void StatusConsole::outputClosed()
{
    if (onDiagnostic)
        onDiagnostic(QStringLiteral("standard output was closed"));
    finish(OutputFailed);
}

void StatusConsole::deliverStatus(const std::optional<ClientStatus>& status)
{
    if (finished_)
        return;
    const std::optional<QString> text = status ? std::optional<QString>(status->text) : std::nullopt;
    if (!print(bar_ ? bar_->status(status) : DeliveryJson::line(DeliveryJson::status(text))) || !status)
        return;
    if (options_.mode == ConsoleOptions::Mode::UseReset)
        followReset(*status);
    else if (options_.mode == ConsoleOptions::Mode::Once && !status->readingUnderway())
        finish(NoUsage);
}

void StatusConsole::followReset(const ClientStatus& status)
{
    // The outcomes as the Codex CLI words them, told by the status's kind.
    const auto outcome = [this](const char* word) {
        return print(DeliveryJson::line(DeliveryJson::resetOutcome(QLatin1String(word))));
    };
    switch (status.kind) {
    case StatusKind::resetUnderway:
        return;
    case StatusKind::resetDone:
    case StatusKind::resetAlreadyRedeemed:
        if (outcome(status.kind == StatusKind::resetDone ? "reset" : "alreadyRedeemed"))
            resetStep_ = ResetStep::rereading; // the client reads at once
        return;
    case StatusKind::resetNothingToReset:
    case StatusKind::resetNoCredit:
        if (outcome(status.kind == StatusKind::resetNoCredit ? "noCredit" : "nothingToReset"))
            finish(NoUsage);
        return;
    case StatusKind::resetUnsupported:
    case StatusKind::resetFailed:
        finish(NoUsage);
        return;
    case StatusKind::resetNoAnswer:
        finish(TimedOut);
        return;
    default:
        // A reading that ends without usage: before the reset nothing is spent; after it
        // the reset is what counts. While the request is out its own statuses decide.
        if (!status.readingUnderway() && resetStep_ != ResetStep::spending)
            finish(resetStep_ == ResetStep::rereading ? Reading : NoUsage);
    }
}

void StatusConsole::deliverSnapshot(const UsageSnapshot& snapshot)
{
    if (finished_)
        return;
    const UsageAllowance allowance = std::exchange(allowance_, {});
    if (!print(bar_ ? bar_->snapshot(snapshot, allowance)
                    : DeliveryJson::line(DeliveryJson::snapshot(snapshot, allowance))))
        return;
    if (onReading)
        onReading(snapshot, allowance);
    if (options_.mode == ConsoleOptions::Mode::Once) {
        finish(Reading);
    } else if (options_.mode == ConsoleOptions::Mode::UseReset && resetStep_ == ResetStep::reading) {
        // Spend the credit that expires first; without details the backend picks one.
        resetStep_ = ResetStep::spending;
        const std::optional<ResetCredit> credit = AllowanceLines::soonestCredit(allowance);
        client_.useResetCredit(stateFolder() + QStringLiteral("/pending-reset"),
                               credit ? std::optional(credit->id) : std::nullopt);
    } else if (options_.mode == ConsoleOptions::Mode::UseReset && resetStep_ == ResetStep::rereading) {
        finish(Reading);
    }
}

void StatusConsole::armStaleTimer()
{
    const std::optional<double> staleAt = bar_ ? bar_->staleAt() : std::nullopt;
    if (!staleAt) {
        staleTimer_.stop();
        return;
    }
    const double now = QDateTime::currentMSecsSinceEpoch() / 1000.0;
    if (!staleTimer_.isActive() && *staleAt > now)
        staleTimer_.start(int(std::ceil((*staleAt - now) * 1000)));
}

bool StatusConsole::print(const std::optional<QByteArray>& line)
{
    armStaleTimer();
    // Only a change is printed: a flood of identical deliveries prints one line.
    if (!line || *line == lastPrinted_)
        return true;
    lastPrinted_ = *line;
    if (writeLine_(*line))
        return true;
    // A reading nobody can read is no success; stop rather than run on unheard.
    if (onDiagnostic)
        onDiagnostic(QStringLiteral("standard output could not be written"));
    finish(OutputFailed);
    return false;
}

void StatusConsole::finish(int code)
{
    if (finished_)
        return;
    finished_ = true;
    deadline_.stop();
    refreshTimer_.stop();
    staleTimer_.stop();
    client_.stop();
    // Deliveries still queued must not reach this object any more.
    disconnect(&client_, nullptr, this, nullptr);
    if (onFinished)
        onFinished(code);
}

} // namespace tallyglass
