#include "console/ConsoleOptions.h"

#include <cmath>

namespace tallyglass {

namespace {

std::optional<double> parseSeconds(const QString& text)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !std::isfinite(value) || value < ConsoleOptions::minSeconds || value > ConsoleOptions::maxSeconds)
        return std::nullopt;
    return value;
}

} // namespace

std::optional<ConsoleOptions> ConsoleOptions::parse(const QStringList& arguments, QString* error)
{
    ConsoleOptions options;
    bool sawTimeout = false;
    bool sawWatch = false;
    bool sawHelp = false;

    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == QLatin1String("-h") || argument == QLatin1String("--help")) {
            sawHelp = true;
            continue;
        }

        QString name = argument;
        std::optional<QString> value;
        if (argument.startsWith(QLatin1String("--")) && argument.contains(QLatin1Char('='))) {
            name = argument.section(QLatin1Char('='), 0, 0);
            value = argument.section(QLatin1Char('='), 1);
        }
        const bool isTimeout = name == QLatin1String("--timeout");
        const bool isWatch = name == QLatin1String("--watch");
        if (!isTimeout && !isWatch) {
            *error = argument.startsWith(QLatin1Char('-'))
                ? QStringLiteral("unknown option \"%1\"").arg(argument)
                : QStringLiteral("unexpected argument \"%1\"").arg(argument);
            return std::nullopt;
        }
        if ((isTimeout && sawTimeout) || (isWatch && sawWatch)) {
            *error = QStringLiteral("%1 given more than once").arg(name);
            return std::nullopt;
        }
        if (!value) {
            if (i + 1 >= arguments.size()) {
                *error = QStringLiteral("%1 needs a number of seconds").arg(name);
                return std::nullopt;
            }
            value = arguments[++i];
        }
        const std::optional<double> seconds = parseSeconds(*value);
        if (!seconds) {
            *error = QStringLiteral("%1 needs a number of seconds from %2 to %3, not \"%4\"")
                         .arg(name)
                         .arg(minSeconds)
                         .arg(maxSeconds, 0, 'f', 0)
                         .arg(*value);
            return std::nullopt;
        }
        if (isTimeout) {
            sawTimeout = true;
            options.timeoutSeconds = *seconds;
        } else {
            sawWatch = true;
            options.watchSeconds = *seconds;
        }
    }

    if (sawHelp) {
        options.mode = Mode::Help;
        return options;
    }
    if (sawWatch && sawTimeout) {
        *error = QStringLiteral("--timeout and --watch cannot be combined: --watch runs until it is interrupted");
        return std::nullopt;
    }
    if (sawWatch)
        options.mode = Mode::Watch;
    return options;
}

QString ConsoleOptions::helpText()
{
    return QStringLiteral(
        "Usage: tallyglass-status [--timeout SECONDS | --watch SECONDS]\n"
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
        "  -h, --help         show this text\n"
        "SECONDS may have a fraction (0.001 to 2000000).\n"
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
