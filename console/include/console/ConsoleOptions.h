#pragma once
// The command line of tallyglass-status, parsed into values. Pure; any thread.

#include <QString>
#include <QStringList>
#include <optional>

namespace tallyglass {

struct ConsoleOptions {
    enum class Mode {
        Once,  // print deliveries until the first reading or failure, then exit
        Watch, // refresh every watchSeconds and print until SIGINT or SIGTERM
        Help,
        Version,
        History, // print the stored readings (the last sinceHours, or all) and exit
        UseReset, // read, spend one banked reset, read again and exit
    };

    // What each line printed looks like.
    enum class Format {
        Json,   // every status text and reading as a JSON object (the default)
        Waybar, // what the bar shows, as waybar's custom module reads it
        Text,   // the tray's title as plain text
    };

    static constexpr double defaultTimeoutSeconds = 60;
    // Timers count in whole milliseconds in an int; keep well inside that.
    static constexpr double minSeconds = 0.001;
    static constexpr double maxSeconds = 2'000'000;

    static constexpr double minHours = 0.001;
    static constexpr double maxHours = 1'000'000;

    Mode mode = Mode::Once;
    double timeoutSeconds = defaultTimeoutSeconds;
    double watchSeconds = 0;
    std::optional<double> sinceHours; // with --history: only readings this recent
    bool recordHistory = true;        // readings are added to the history store
    Format format = Format::Json;
    bool confirmed = false;           // --yes: with UseReset, spend without asking

    // `arguments` excludes the program name. On a bad argument returns nothing and
    // puts one line (without a line feed) describing it into `error`.
    static std::optional<ConsoleOptions> parse(const QStringList& arguments, QString* error);

    static QString helpText();
};

} // namespace tallyglass
