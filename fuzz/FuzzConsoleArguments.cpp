// Splits arbitrary bytes on NUL into a command line (as argv arrives: no NUL
// inside an argument, decoded like QCoreApplication::arguments()) and checks
// what ConsoleOptions::parse promises.

#include "console/ConsoleOptions.h"
#include "fuzz/FuzzReplay.h"

#include <QByteArrayView>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
        std::abort();
    }
}

bool inRange(double seconds)
{
    return std::isfinite(seconds) && seconds >= tallyglass::ConsoleOptions::minSeconds
        && seconds <= tallyglass::ConsoleOptions::maxSeconds;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using tallyglass::ConsoleOptions;
    const QByteArrayView bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    QStringList arguments;
    if (!bytes.isEmpty()) {
        qsizetype from = 0;
        while (true) {
            const qsizetype nul = bytes.indexOf('\0', from);
            arguments << QString::fromLocal8Bit(bytes.sliced(from, (nul < 0 ? bytes.size() : nul) - from));
            if (nul < 0)
                break;
            from = nul + 1;
        }
    }

    QString error;
    const std::optional<ConsoleOptions> options = ConsoleOptions::parse(arguments, &error);
    if (!options) {
        require(!error.isEmpty(), "a rejected command line has an error text");
        require(!error.contains(QLatin1Char('\n')) && !error.contains(QLatin1Char('\r')),
                "the error text is one line");
        return 0;
    }
    require(!options->confirmed || options->mode == ConsoleOptions::Mode::UseReset, "--yes only with --use-reset");
    switch (options->mode) {
    case ConsoleOptions::Mode::Once:
    case ConsoleOptions::Mode::UseReset:
        require(inRange(options->timeoutSeconds), "the timeout is finite and in range");
        break;
    case ConsoleOptions::Mode::Watch:
        require(inRange(options->watchSeconds), "the watch interval is finite and in range");
        break;
    case ConsoleOptions::Mode::History:
        require(!options->sinceHours
                    || (std::isfinite(*options->sinceHours) && *options->sinceHours >= ConsoleOptions::minHours
                        && *options->sinceHours <= ConsoleOptions::maxHours),
                "the hours are finite and in range");
        break;
    case ConsoleOptions::Mode::Help:
    case ConsoleOptions::Mode::Version:
        break;
    }
    return 0;
}

// Pieces of command lines, so that random inputs hold options and numbers.
FuzzReplayInputs fuzzReplayInputs()
{
    FuzzReplayInputs inputs;
    inputs.pieces = {
        std::string(1, '\0'), "--timeout", "--watch", "--timeout=", "--watch=", "-h", "--help", "-", "=", "\n",
        "--history", "--no-history", "--since", "--format=", "waybar", "--use-reset", "--yes", "--version",
        "0", "0.001", "1", "60", "2000000", "2000000.0001", "1e6", "1e-3", "-5", "nan", "inf", " ", ".", "e", "x",
    };
    return inputs;
}
