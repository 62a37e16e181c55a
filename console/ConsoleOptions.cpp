#include "console/ConsoleOptions.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

namespace tallyglass {

namespace {

// An argument as it is quoted in an error line: control characters are written as
// escapes, so that the line stays one line on the terminal.
QString quoted(const QString& argument)
{
    QString out = QStringLiteral("\"");
    for (const QChar c : argument) {
        const qsizetype common = QStringLiteral("\n\r\t").indexOf(c);
        if (common >= 0)
            out += QLatin1String("\\") + QLatin1Char("nrt"[common]);
        else if (c.category() == QChar::Other_Control)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out + QLatin1Char('"');
}

using Setter = std::function<bool(ConsoleOptions&, const QString&)>;

// Sets `field` to a decimal number from `low` to `high`.
Setter number(auto field, double low, double high)
{
    return [=](ConsoleOptions& options, const QString& text) {
        bool ok = false;
        const double value = text.toDouble(&ok);
        if (!ok || !std::isfinite(value) || value < low || value > high)
            return false;
        options.*field = value;
        return true;
    };
}

// One option: how it is written, what its value must be (a flag has none) and what the
// value sets. Flags set nothing themselves; the checks across options read which were given.
struct Option {
    QLatin1String name;
    QString needs;   // "--x needs <needs>" when the value is missing; empty for a flag
    QString range;   // added to it when the value is there but wrong
    Setter set;
    bool once = true; // may be given only once
};

Option flag(const char* name, bool once = true)
{
    return {QLatin1String(name), {}, {}, {}, once};
}

const std::vector<Option>& options()
{
    using O = ConsoleOptions;
    static const QString seconds = QStringLiteral(" from %1 to %2").arg(O::minSeconds).arg(O::maxSeconds, 0, 'f', 0);
    static const QString hours = QStringLiteral(" from %1 to %2").arg(O::minHours).arg(O::maxHours, 0, 'f', 0);
    static const std::vector<Option> table{
        {QLatin1String("--timeout"), "a number of seconds", seconds,
         number(&O::timeoutSeconds, O::minSeconds, O::maxSeconds), true},
        {QLatin1String("--watch"), "a number of seconds", seconds,
         number(&O::watchSeconds, O::minSeconds, O::maxSeconds), true},
        {QLatin1String("--since"), "a number of hours", hours, number(&O::sinceHours, O::minHours, O::maxHours), true},
        {QLatin1String("--format"), "json, waybar or text", {},
         [](O& o, const QString& v) {
             const qsizetype index = QStringList{"json", "waybar", "text"}.indexOf(v);
             if (index >= 0)
                 o.format = O::Format(index); // in the enum's order
             return index >= 0;
         },
         true},
        flag("--history"),
        flag("--no-history"),
        flag("--use-reset"),
        flag("--yes"),
        flag("--help", false),
        flag("--version", false),
    };
    return table;
}

} // namespace

std::optional<ConsoleOptions> ConsoleOptions::parse(const QStringList& arguments, QString* error)
{
    const auto fault = [error](const QString& text) {
        *error = text;
        return std::nullopt;
    };
    ConsoleOptions result;
    QList<QLatin1String> given;
    // Left to right, so the fault named is the first one written.
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (!argument.startsWith(QLatin1Char('-')))
            return fault(QStringLiteral("unexpected argument %1").arg(quoted(argument)));
        const qsizetype equals = argument.startsWith(QLatin1String("--")) ? argument.indexOf(QLatin1Char('=')) : -1;
        const QString name = argument == QLatin1String("-h") ? QStringLiteral("--help") : argument.left(equals);
        const auto option = std::find_if(options().begin(), options().end(),
                                         [&](const Option& o) { return o.name == name; });
        if (option == options().end() || (equals >= 0 && option->needs.isEmpty()))
            return fault(QStringLiteral("unknown option %1").arg(quoted(argument)));
        if (option->once && given.contains(option->name))
            return fault(QStringLiteral("%1 given more than once").arg(name));
        given.append(option->name);
        if (option->needs.isEmpty())
            continue;
        if (equals < 0 && i + 1 == arguments.size())
            return fault(QStringLiteral("%1 needs %2").arg(name, option->needs));
        const QString value = equals >= 0 ? argument.mid(equals + 1) : arguments[++i];
        if (!option->set(result, value))
            return fault(QStringLiteral("%1 needs %2%3, not %4")
                             .arg(name, option->needs, option->range, quoted(value)));
    }

    const auto has = [&given](const char* name) { return given.contains(QLatin1String(name)); };
    if (has("--help") || has("--version")) {
        result.mode = has("--help") ? Mode::Help : Mode::Version;
        return result;
    }
    if (has("--timeout") && has("--watch"))
        return fault(QStringLiteral("--timeout and --watch cannot be combined: --watch runs until it is interrupted"));
    if (has("--history")) {
        for (const char* other : {"--timeout", "--watch", "--no-history", "--format", "--use-reset", "--yes"}) {
            if (has(other))
                return fault(QStringLiteral("--history cannot be combined with %1: it only prints what is stored")
                                 .arg(QLatin1String(other)));
        }
        result.mode = Mode::History;
        return result;
    }
    if (has("--since"))
        return fault(QStringLiteral("--since needs --history"));
    if (has("--yes") && !has("--use-reset"))
        return fault(QStringLiteral("--yes needs --use-reset"));
    if (has("--use-reset") && (has("--watch") || has("--format")))
        return fault(QStringLiteral("--use-reset cannot be combined with %1: it spends one reset and prints JSON lines")
                         .arg(has("--watch") ? QStringLiteral("--watch") : QStringLiteral("--format")));
    result.recordHistory = !has("--no-history");
    result.confirmed = has("--yes");
    result.mode = has("--use-reset") ? Mode::UseReset : has("--watch") ? Mode::Watch : Mode::Once;
    return result;
}

QString ConsoleOptions::helpText()
{
    return QStringLiteral(
        "Usage: tallyglass-status [--timeout SECONDS | --watch SECONDS] [--format NAME]\n"
        "                         [--no-history]\n"
        "       tallyglass-status --history [--since HOURS]\n"
        "       tallyglass-status --use-reset [--yes] [--timeout SECONDS] [--no-history]\n"
        "\n"
        "Reads the Codex rate-limit usage through a local `codex app-server` (codex is looked\n"
        "for in ~/.local/bin, /opt/homebrew/bin, /usr/local/bin, ~/.npm-global/bin, then on\n"
        "PATH) and prints one JSON object per line on standard output for every status\n"
        "text and every reading:\n"
        "  {\"status\":\"<text>\"}   a status text (UTF-8, as the tray would show it)\n"
        "  {\"status\":null}       the status is cleared; a reading follows\n"
        "  {\"snapshot\":{\"fiveHour\":W,\"week\":W,\"receivedAt\":T}}\n"
        "      W is null or {\"usedPercent\":n,\"remainingPercent\":n,\n"
        "                    \"durationMinutes\":n|null,\"resetsAt\":T|null}\n"
        "      T is seconds since 1970-01-01T00:00:00Z (a JSON number)\n"
        "      Only when the Codex CLI tells them, the snapshot also holds\n"
        "        \"limits\":[{\"id\",\"name\",\"fiveHour\":W,\"week\":W}]  other rate-limit buckets\n"
        "        \"credits\":{\"hasCredits\",\"unlimited\",\"balance\"}, \"plan\", \"reached\",\n"
        "        \"spendControl\":{\"remainingPercent\",\"resetsAt\":T},\n"
        "        \"resetCredits\":{\"available\":n,\"credits\":[{\"id\",\"expiresAt\":T}]}\n"
        "  {\"resetOutcome\":\"<outcome>\"}  with --use-reset: reset, nothingToReset, noCredit\n"
        "                               or alreadyRedeemed\n"
        "\n"
        "Options:\n"
        "  --timeout SECONDS  give up after SECONDS (default 60) without a result\n"
        "  --watch SECONDS    keep running, read the usage again every SECONDS and print\n"
        "                     everything until SIGINT or SIGTERM\n"
        "  --format NAME      json (the default, as above), or what a status bar shows:\n"
        "                     waybar  one JSON object per change for waybar's custom module\n"
        "                             (\"return-type\": \"json\"): text, tooltip, class (ok,\n"
        "                             warning, critical, error, stale) and percentage\n"
        "                     text    one line per change with the tray's title\n"
        "                     With --watch, the program ends when its output is closed.\n"
        "  --no-history       do not add the readings to the history store\n"
        "  --history          print the stored readings, oldest first, as {\"snapshot\":...}\n"
        "                     lines (nothing when there are none), then exit 0\n"
        "  --since HOURS      with --history: only the readings of the last HOURS\n"
        "  --use-reset        read, spend one banked rate-limit reset (the one that\n"
        "                     expires first), then print the new reading; asks first\n"
        "                     on a terminal. A retry after a time-out or an error\n"
        "                     repeats the same request and never spends a second reset.\n"
        "  --yes              with --use-reset: spend it without asking\n"
        "  -h, --help         show this text\n"
        "  --version          show the program's version\n"
        "SECONDS may have a fraction (0.001 to 2000000), HOURS too (0.001 to 1000000).\n"
        "\n"
        "Every reading is added to the history that the tray keeps too, in\n"
        "$XDG_STATE_HOME/tallyglass/history.sqlite3 (~/.local/state/tallyglass/...).\n"
        "\n"
        "Exit status:\n"
        "  0  a reading was printed (with --watch: stopped by SIGINT or SIGTERM; with\n"
        "     --use-reset: the outcome was reset or alreadyRedeemed)\n"
        "  1  a status text ended the reading without usage (with --use-reset: no\n"
        "     reset was used: another outcome, an error answer, or the answer no)\n"
        "  2  a bad argument, or --use-reset without a terminal and without --yes\n"
        "  3  the timeout passed first (with --use-reset: or the request went unanswered)\n"
        "  4  standard output could not be written\n"
        "  130, 143  stopped by SIGINT or SIGTERM before a result (without --watch)\n"
        "The codex child is always stopped before the program exits.\n");
}

} // namespace tallyglass
