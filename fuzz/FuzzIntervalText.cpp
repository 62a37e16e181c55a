// Feeds arbitrary text to the parser of the refresh interval the user types
// into the tray's dialog, checks what it promises, and that an accepted value
// survives being saved to and read back from the settings file unchanged.

#include "app/AppSettings.h"
#include "app/NumberParsing.h"
#include "app/QSettingsStore.h"
#include "fuzz/FuzzReplay.h"

#include <QTemporaryDir>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
        std::abort();
    }
}

bool isCSpace(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
}

struct Store {
    Store()
    {
        require(dir.isValid(), "a temporary directory");
        settings = std::make_unique<tallyglass::QSettingsStore>(dir.filePath(QStringLiteral("tallyglass.conf")));
    }
    QTemporaryDir dir;
    std::unique_ptr<tallyglass::QSettingsStore> settings;
};

tallyglass::QSettingsStore& store()
{
    static Store s;
    return *s.settings;
}

} // namespace

// Byte 0 says how the rest becomes text: odd as UTF-16 (any QString a line
// edit can hold, lone surrogates included), even as UTF-8.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const char* rest = reinterpret_cast<const char*>(data) + 1;
    const qsizetype restSize = qsizetype(size) - 1;
    const QString text = (data[0] & 1) ? QString(reinterpret_cast<const QChar*>(rest), restSize / 2)
                                       : QString::fromUtf8(rest, restSize);

    const std::optional<double> whole = tallyglass::parseWholeNumber(text);
    if (whole)
        require(!text.isEmpty() && !isCSpace(text.front()), "a number is neither empty nor starts with a space");

    const std::optional<double> seconds = tallyglass::parseCustomRefreshInterval(text);
    if (!seconds) {
        require(!whole || !std::isfinite(*whole) || *whole < 30 || *whole > 86400,
                "only a number outside 30...86400 is rejected");
        return 0;
    }
    require(std::isfinite(*seconds) && *seconds >= 30 && *seconds <= 86400, "an interval is finite and in 30...86400");
    require(whole && *whole == *seconds, "the interval is the number the text reads as");

    tallyglass::AppSettings::setRefreshInterval(store(), *seconds);
    require(tallyglass::AppSettings::refreshInterval(store()) == *seconds, "a saved interval reads back unchanged");
    return 0;
}

// Pieces of numbers, so that random inputs read as some.
FuzzReplayInputs fuzzReplayInputs()
{
    FuzzReplayInputs inputs;
    inputs.pieces = {
        "0", "1", "3", "30", "60", "86400", "86400.0000001", "29.999", ".", "e", "E", "+", "-",
        "0x", "p", "1e2", "inf", "nan", "nan(1)", " ", "\t", "\xc2\xa0", "\xef\xbc\x91", "\xd9\xa3",
    };
    inputs.headerBytes = 1;
    return inputs;
}
