// Writes arbitrary bytes as the tray's INI settings file, reads every setting
// the tray reads through the real store and readers, and checks what the
// readers promise. One store lives for the whole run, as in the tray, which
// re-reads the file before every read.

#include "app/AppSettings.h"
#include "app/QSettingsStore.h"
#include "fuzz/FuzzReplay.h"

#include <QApplication>
#include <QDateTime>
#include <QFile>
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

struct Fixture {
    Fixture()
    {
        // The tray reads its settings with a QApplication running, so the
        // Gui and Widgets value types can be read from "@Variant(...)" too.
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "fuzz_settings_file";
        static char* argv[] = {name, nullptr};
        app = std::make_unique<QApplication>(argc, argv);
        require(dir.isValid(), "a temporary directory");
        path = dir.filePath(QStringLiteral("tallyglass.conf"));
        store = std::make_unique<tallyglass::QSettingsStore>(path);
    }

    std::unique_ptr<QApplication> app;
    QTemporaryDir dir;
    QString path;
    std::unique_ptr<tallyglass::QSettingsStore> store;
    // QSettings reloads a file only when its size or modification time (in
    // milliseconds) changed; each input gets a time of its own so that a
    // rewrite with the same size is always read anew.
    qint64 stamp = 1'000'000'000;
};

Fixture& fixture()
{
    static Fixture f;
    return f;
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    require(file.open(QIODevice::ReadOnly), "the settings file reads back");
    return file.readAll();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Fixture& f = fixture();
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    {
        // Overwritten, then cut to length: ext4 flushes a file truncated to
        // nothing and written again when it is closed, which is slow.
        QFile file(f.path);
        require(file.open(QIODevice::ReadWrite), "the settings file opens for writing");
        require(file.write(bytes) == bytes.size(), "the settings file is written");
        require(file.flush() && file.resize(bytes.size()), "the settings file is cut to length");
        require(file.setFileTime(QDateTime::fromSecsSinceEpoch(++f.stamp, Qt::UTC),
                                 QFileDevice::FileModificationTime),
                "the settings file gets a new time");
    }

    const double interval = tallyglass::AppSettings::refreshInterval(*f.store);
    require(std::isfinite(interval), "the refresh interval is finite");
    require(interval == 0 || (interval >= 30 && interval <= 86400), "the refresh interval is 0 or in 30...86400");

    const tallyglass::TimeDisplayMode mode = tallyglass::AppSettings::timeDisplayMode(*f.store);
    require(mode == tallyglass::TimeDisplayMode::resetAt || mode == tallyglass::TimeDisplayMode::remaining,
            "the time display mode is one of the two");
    // The key as it is written in users' files.
    const QVariant rawMode = f.store->value(QStringLiteral("timeDisplayMode"));
    const bool storedRemaining =
        rawMode.metaType().id() == QMetaType::QString && rawMode.toString() == QLatin1String("remaining");
    require((mode == tallyglass::TimeDisplayMode::remaining) == storedRemaining,
            "the mode is remaining exactly for the stored text \"remaining\"");

    require(fileBytes(f.path) == bytes, "reading the settings leaves the file as it was");
    return 0;
}

// Pieces of INI text, so that random inputs hold sections, keys and values.
FuzzReplayInputs fuzzReplayInputs()
{
    FuzzReplayInputs inputs;
    inputs.pieces = {
        "[General]", "[%General]", "\n", "\r\n", "=", " = ", ";", "#", "\\", "\"", ",", "%", "%U", "\\x", "\\0",
        "refreshIntervalSeconds", "timeDisplayMode", "remaining", "resetAt", "0", "30", "60", "86400", "1e9",
        "-0", "nan", "inf", "0x1p5", "@Variant(", ")", "@Variant(\\0\\0\\0\\x6", "@Variant(\\0\\0\\0\\n",
        "@Variant(\\0\\0\\0\\t", "@ByteArray(", "@Invalid()", "@String(", "\\xff\\xff\\xff\\xff",
    };
    return inputs;
}
