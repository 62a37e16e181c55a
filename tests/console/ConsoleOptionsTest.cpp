#include "console/ConsoleOptions.h"

#include <gtest/gtest.h>

namespace tallyglass {
namespace {

using Mode = ConsoleOptions::Mode;

struct Accepted {
    QStringList arguments;
    Mode mode;
    double timeout;
    double watch;
    bool confirmed = false;
};

TEST(ConsoleOptionsTest, AcceptsEveryWrittenForm)
{
    const Accepted cases[] = {
        {{}, Mode::Once, 60, 0},
        {{"--timeout", "5"}, Mode::Once, 5, 0},
        {{"--timeout=2.5"}, Mode::Once, 2.5, 0},
        {{"--timeout", "0.001"}, Mode::Once, 0.001, 0},
        {{"--watch", "30"}, Mode::Watch, 60, 30},
        {{"--watch=0.2"}, Mode::Watch, 60, 0.2},
        {{"--help"}, Mode::Help, 60, 0},
        {{"-h"}, Mode::Help, 60, 0},
        // Help wins over everything else that parses.
        {{"--watch", "5", "--help"}, Mode::Help, 60, 5},
        {{"--timeout", "5", "--watch", "5", "-h"}, Mode::Help, 5, 5},
        {{"--version"}, Mode::Version, 60, 0},
        {{"--version", "--help"}, Mode::Help, 60, 0},
        {{"--history"}, Mode::History, 60, 0},
        {{"--since", "2.5", "--history"}, Mode::History, 60, 0},
        {{"--no-history", "--watch", "30"}, Mode::Watch, 60, 30},
        {{"--use-reset"}, Mode::UseReset, 60, 0},
        {{"--yes", "--timeout=9", "--use-reset", "--no-history"}, Mode::UseReset, 9, 0, true},
    };
    for (const Accepted& c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        QString error;
        const std::optional<ConsoleOptions> options = ConsoleOptions::parse(c.arguments, &error);
        ASSERT_TRUE(options.has_value()) << error.toStdString();
        EXPECT_EQ(options->mode, c.mode);
        EXPECT_DOUBLE_EQ(options->timeoutSeconds, c.timeout);
        EXPECT_DOUBLE_EQ(options->watchSeconds, c.watch);
        EXPECT_EQ(options->confirmed, c.confirmed);
        EXPECT_EQ(options->format, ConsoleOptions::Format::Json);
    }
    using Format = ConsoleOptions::Format;
    const std::pair<QStringList, Format> formats[] = {
        {{"--format", "waybar", "--watch", "30"}, Format::Waybar},
        {{"--watch=5", "--format=text"}, Format::Text},
        {{"--format", "json"}, Format::Json},
    };
    for (const auto& [arguments, format] : formats) {
        QString error;
        const std::optional<ConsoleOptions> options = ConsoleOptions::parse(arguments, &error);
        ASSERT_TRUE(options.has_value()) << error.toStdString();
        EXPECT_EQ(options->format, format);
    }
}

TEST(ConsoleOptionsTest, RejectsBadArgumentsWithOneLineNamingThem)
{
    const std::pair<QStringList, QString> cases[] = {
        {{"--timeout"}, "--timeout needs a number of seconds"},
        {{"--watch"}, "--watch needs a number of seconds"},
        {{"--timeout", "abc"}, "\"abc\""},
        {{"--timeout", "0"}, "\"0\""},
        {{"--timeout", "-1"}, "\"-1\""},
        {{"--timeout", "nan"}, "\"nan\""},
        {{"--timeout", "inf"}, "\"inf\""},
        {{"--timeout", "1e300"}, "\"1e300\""},
        {{"--watch", "2000001"}, "\"2000001\""},
        {{"--watch="}, "\"\""},
        {{"--timeout", "5s"}, "\"5s\""},
        {{"--timeout", "1", "--timeout", "2"}, "--timeout given more than once"},
        {{"--timeout", "1", "--watch", "2"}, "cannot be combined"},
        {{"--verbose"}, "unknown option \"--verbose\""},
        {{"-t", "5"}, "unknown option \"-t\""},
        {{"--timeout-ish=5"}, "unknown option \"--timeout-ish=5\""},
        {{"status"}, "unexpected argument \"status\""},
        // The error stays one line whatever the argument holds.
        {{"a\nb\r\x01"}, "unexpected argument \"a\\nb\\r\\x01\""},
        // Spellings a general-purpose parser would take but this program refuses.
        {{"--"}, "unknown option \"--\""},
        {{"--", "--timeout", "5"}, "unknown option \"--\""},
        {{"-"}, "unknown option \"-\""},
        {{"--h"}, "unknown option \"--h\""},
        {{"-hh"}, "unknown option \"-hh\""},
        {{"--help=1"}, "unknown option \"--help=1\""},
        {{"--timeout", "-h"}, "--timeout needs a number of seconds from 0.001 to 2000000, not \"-h\""},
        // With several faults, the first one written is named.
        {{"status", "--timeout"}, "unexpected argument \"status\""},
        {{"--timeout", "abc", "--verbose"}, "\"abc\""},
        {{"--history", "--since"}, "--since needs a number of hours"},
        {{"--history", "--since", "0"}, "--since needs a number of hours from 0.001 to 1000000, not \"0\""},
        {{"--since", "5"}, "--since needs --history"},
        {{"--history", "--watch", "5"}, "--history cannot be combined with --watch"},
        {{"--history", "--no-history"}, "--history cannot be combined with --no-history"},
        {{"--history", "--history"}, "--history given more than once"},
        {{"--history=1"}, "unknown option \"--history=1\""},
        {{"--format"}, "--format needs json, waybar or text"},
        {{"--format", "polybar"}, "not \"polybar\""},
        {{"--format", "Text"}, "not \"Text\""},
        {{"--format=text", "--format=text"}, "--format given more than once"},
        // The first fault written, whatever follows it.
        {{"--history", "--history", "--help", "x"}, "--history given more than once"},
        {{"--history", "--history", "--help", "x", "y"}, "--history given more than once"},
        {{"--yes"}, "--yes needs --use-reset"},
        {{"--use-reset", "--watch", "5"}, "--use-reset cannot be combined with --watch"},
        {{"--use-reset", "--format", "text"}, "--use-reset cannot be combined with --format"},
        {{"--history", "--use-reset"}, "--history cannot be combined with --use-reset"},
        {{"--use-reset", "--yes=1"}, "unknown option \"--yes=1\""},
    };
    for (const auto& [arguments, expected] : cases) {
        SCOPED_TRACE(arguments.join(' ').toStdString());
        QString error;
        EXPECT_FALSE(ConsoleOptions::parse(arguments, &error).has_value());
        EXPECT_TRUE(error.contains(expected)) << error.toStdString();
        EXPECT_FALSE(error.contains('\n'));
    }
}

TEST(ConsoleOptionsTest, HelpNamesEveryOptionAndExitCode)
{
    const QString help = ConsoleOptions::helpText();
    for (const char* needle : {"--timeout SECONDS", "--watch SECONDS", "--help", "--version", "default 60", "SIGINT", "SIGTERM",
                               "{\"status\":null}", "\"snapshot\"", "\"remainingPercent\"", "  0  ", "  1  ", "  2  ",
                               "  3  ", "  4  ", "--history", "--since HOURS", "--no-history", "history.sqlite3",
                               "--use-reset", "--yes", "\"resetOutcome\"", "\"limits\""})
        EXPECT_TRUE(help.contains(QLatin1String(needle))) << needle;
}

} // namespace
} // namespace tallyglass
