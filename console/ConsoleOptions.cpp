#include "console/ConsoleOptions.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <algorithm>
#include <cmath>

namespace tallyglass {

namespace {

const QString timeoutName = QStringLiteral("timeout");
const QString watchName = QStringLiteral("watch");
const QString sinceName = QStringLiteral("since");
const QString historyName = QStringLiteral("history");
const QString noHistoryName = QStringLiteral("no-history");

// An argument as it is quoted in an error line: control characters are written as
// escapes, so that the line stays one line on the terminal.
QString quoted(const QString& argument)
{
    QString out;
    for (const QChar c : argument) {
        if (c == u'\n')
            out += QLatin1String("\\n");
        else if (c == u'\r')
            out += QLatin1String("\\r");
        else if (c == u'\t')
            out += QLatin1String("\\t");
        else if (c.category() == QChar::Other_Control)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return QLatin1Char('"') + out + QLatin1Char('"');
}

const QString formatName = QStringLiteral("format");

std::optional<ConsoleOptions::Format> parseFormat(const QString& text)
{
    using Format = ConsoleOptions::Format;
    if (text == QLatin1String("json"))
        return Format::Json;
    if (text == QLatin1String("waybar"))
        return Format::Waybar;
    if (text == QLatin1String("text"))
        return Format::Text;
    return std::nullopt;
}

std::optional<double> parseSeconds(const QString& text)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !std::isfinite(value) || value < ConsoleOptions::minSeconds || value > ConsoleOptions::maxSeconds)
        return std::nullopt;
    return value;
}

std::optional<double> parseHours(const QString& text)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !std::isfinite(value) || value < ConsoleOptions::minHours || value > ConsoleOptions::maxHours)
        return std::nullopt;
    return value;
}

QString unit(const QString& optionName)
{
    return optionName == sinceName ? QStringLiteral("hours") : QStringLiteral("seconds");
}

// The only ways to write an option here. QCommandLineParser also takes "--h", "-hh",
// "--help=x" and a bare "--" that makes the rest positional; those are refused.
bool isOptionSpelling(const QString& argument)
{
    if (argument == QLatin1String("-h") || argument == QLatin1String("--help")
        || argument == QLatin1String("--version"))
        return true;
    if (argument == QStringLiteral("--") + historyName || argument == QStringLiteral("--") + noHistoryName)
        return true;
    for (const QString& name : {timeoutName, watchName, sinceName, formatName}) {
        const QString option = QStringLiteral("--") + name;
        if (argument == option || argument.startsWith(option + QLatin1Char('=')))
            return true;
    }
    return false;
}

// What one pass of the parser over the arguments makes of them.
struct Reading {
    std::optional<ConsoleOptions> options;
    QString error;
    // A fault that no further argument can take away (not a missing last value, and
    // not --timeout with --watch, which a later --help allows).
    bool broken = false;
};

Reading fault(const QString& error, bool broken)
{
    return {std::nullopt, error, broken};
}

Reading read(const QStringList& arguments)
{
    using Mode = ConsoleOptions::Mode;
    const QCommandLineOption timeout(timeoutName, QString(), QStringLiteral("SECONDS"));
    const QCommandLineOption watch(watchName, QString(), QStringLiteral("SECONDS"));
    const QCommandLineOption since(sinceName, QString(), QStringLiteral("HOURS"));
    const QCommandLineOption history(historyName);
    const QCommandLineOption noHistory(noHistoryName);
    const QCommandLineOption format(formatName, QString(), QStringLiteral("NAME"));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    QCommandLineParser parser;
    parser.addOptions({timeout, watch, since, history, noHistory, format, help, version});
    // Its own error text is not used: every fault is named below, in this program's words.
    parser.parse(QStringList{QStringLiteral("tallyglass-status")} + arguments);

    // A value that starts with '-' never reads as a number of seconds, so an argument
    // found among the values is that value, or the value's own check below names a fault.
    const QStringList values =
        parser.values(timeout) + parser.values(watch) + parser.values(since) + parser.values(format);
    for (const QString& argument : arguments) {
        if (argument.startsWith(QLatin1Char('-')) && !isOptionSpelling(argument) && !values.contains(argument))
            return fault(QStringLiteral("unknown option %1").arg(quoted(argument)), true);
    }

    // The options with values, in the order they were given.
    ConsoleOptions options;
    QStringList seen;
    std::optional<Reading> missingValue;
    for (const QString& name : parser.optionNames()) {
        if (name != timeoutName && name != watchName && name != sinceName && name != formatName)
            continue;
        const QString option = QStringLiteral("--") + name;
        if (seen.contains(name))
            return fault(QStringLiteral("%1 given more than once").arg(option), true);
        seen.append(name);
        const QStringList given = parser.values(name);
        if (given.isEmpty()) {
            // Only the last argument can lack its value; a broken argument before it counts first.
            missingValue = fault(QStringLiteral("%1 needs %2")
                                     .arg(option, name == formatName ? QStringLiteral("json, waybar or text")
                                                                     : QStringLiteral("a number of ") + unit(name)),
                                 false);
            continue;
        }
        if (name == formatName) {
            const std::optional<ConsoleOptions::Format> chosen = parseFormat(given.first());
            if (!chosen)
                return fault(QStringLiteral("--format needs json, waybar or text, not %1").arg(quoted(given.first())),
                             true);
            options.format = *chosen;
            continue;
        }
        if (name == sinceName) {
            const std::optional<double> hours = parseHours(given.first());
            if (!hours) {
                return fault(QStringLiteral("--since needs a number of hours from %1 to %2, not %3")
                                 .arg(ConsoleOptions::minHours)
                                 .arg(ConsoleOptions::maxHours, 0, 'f', 0)
                                 .arg(quoted(given.first())),
                             true);
            }
            options.sinceHours = hours;
            continue;
        }
        const std::optional<double> seconds = parseSeconds(given.first());
        if (!seconds) {
            return fault(QStringLiteral("%1 needs a number of seconds from %2 to %3, not %4")
                             .arg(option)
                             .arg(ConsoleOptions::minSeconds)
                             .arg(ConsoleOptions::maxSeconds, 0, 'f', 0)
                             .arg(quoted(given.first())),
                         true);
        }
        (name == timeoutName ? options.timeoutSeconds : options.watchSeconds) = *seconds;
    }

    const QStringList positional = parser.positionalArguments();
    if (!positional.isEmpty())
        return fault(QStringLiteral("unexpected argument %1").arg(quoted(positional.first())), true);
    if (missingValue)
        return *missingValue;

    if (parser.isSet(help)) {
        options.mode = Mode::Help;
        return {options, QString()};
    }
    if (parser.isSet(version)) {
        options.mode = Mode::Version;
        return {options, QString()};
    }
    for (const QCommandLineOption* flag : {&history, &noHistory}) {
        if (parser.optionNames().count(flag->names().first()) > 1)
            return fault(QStringLiteral("--%1 given more than once").arg(flag->names().first()), true);
    }
    const bool sawWatch = parser.isSet(watch);
    if (sawWatch && parser.isSet(timeout))
        return fault(QStringLiteral("--timeout and --watch cannot be combined: --watch runs until it is interrupted"),
                     false);
    if (parser.isSet(history)) {
        for (const QCommandLineOption* other : {&timeout, &watch, &noHistory, &format}) {
            if (parser.isSet(*other))
                return fault(QStringLiteral("--history cannot be combined with --%1: it only prints what is stored")
                                 .arg(other->names().first()),
                             false);
        }
        options.mode = Mode::History;
        return {options, QString()};
    }
    if (parser.isSet(since))
        return fault(QStringLiteral("--since needs --history"), false);
    options.recordHistory = !parser.isSet(noHistory);
    if (sawWatch)
        options.mode = Mode::Watch;
    return {options, QString()};
}

} // namespace

std::optional<ConsoleOptions> ConsoleOptions::parse(const QStringList& arguments, QString* error)
{
    // The parser takes the whole line at once, but the fault to name is the first one
    // written: the one that breaks the shortest beginning of the line. A broken beginning
    // stays broken as it grows, so a binary search over the lengths finds it.
    qsizetype low = 0;
    qsizetype high = arguments.size() + 1; // past every length: no beginning is broken
    while (low < high) {
        const qsizetype middle = low + (high - low) / 2;
        if (read(arguments.first(middle)).broken)
            high = middle;
        else
            low = middle + 1;
    }
    Reading reading = read(low > arguments.size() ? arguments : arguments.first(low));
    if (!reading.options)
        *error = reading.error;
    return reading.options;
}

// Written by hand: QCommandLineParser::helpText() cannot lay out the JSON forms and exit codes.
QString ConsoleOptions::helpText()
{
    return QStringLiteral(
        "Usage: tallyglass-status [--timeout SECONDS | --watch SECONDS] [--format NAME]\n"
        "                         [--no-history]\n"
        "       tallyglass-status --history [--since HOURS]\n"
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
        "  -h, --help         show this text\n"
        "  --version          show the program's version\n"
        "SECONDS may have a fraction (0.001 to 2000000), HOURS too (0.001 to 1000000).\n"
        "\n"
        "Every reading is added to the history that the tray keeps too, in\n"
        "$XDG_STATE_HOME/tallyglass/history.sqlite3 (~/.local/state/tallyglass/...).\n"
        "\n"
        "Exit status:\n"
        "  0  a reading was printed (with --watch: stopped by SIGINT or SIGTERM)\n"
        "  1  a status text ended the reading without usage\n"
        "  2  a bad argument\n"
        "  3  the timeout passed first\n"
        "  4  standard output could not be written\n"
        "  130, 143  stopped by SIGINT or SIGTERM before a result (without --watch)\n"
        "The codex child is always stopped before the program exits.\n");
}

} // namespace tallyglass
