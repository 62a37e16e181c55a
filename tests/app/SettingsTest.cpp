#include "app/AppSettings.h"
#include "app/QSettingsStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <fcntl.h>
#include <future>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyglass::test {
namespace {

// Settings as they sit in the file: "refreshIntervalSeconds=<text>".
struct IntervalRow {
    const char* stored; // nullptr: no entry
    double expected;
};

void PrintTo(const IntervalRow& row, std::ostream* out)
{
    *out << (row.stored ? "\"" + std::string(row.stored) + "\"" : std::string("nothing"));
}

class StoredIntervalTable : public ::testing::TestWithParam<IntervalRow> {};

TEST_P(StoredIntervalTable, ReadsTheEffectiveIntervalWithoutRewritingTheFile)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("tallyglass.conf"));
    QByteArray text = "[General]\ntimeDisplayMode=remaining\n";
    if (GetParam().stored)
        text += QByteArray("refreshIntervalSeconds=") + GetParam().stored + "\n";
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    }
    const QDateTime modified = QFileInfo(path).lastModified();
    {
        QSettingsStore store(path);
        EXPECT_EQ(AppSettings::refreshInterval(store), GetParam().expected);
        EXPECT_EQ(AppSettings::refreshInterval(store), GetParam().expected);
        EXPECT_EQ(AppSettings::timeDisplayMode(store), TimeDisplayMode::remaining);
    }
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), text);
    EXPECT_EQ(QFileInfo(path).lastModified(), modified);
}

INSTANTIATE_TEST_SUITE_P(AppSettings, StoredIntervalTable,
                         ::testing::Values(IntervalRow{nullptr, 60}, IntervalRow{"0", 0}, IntervalRow{"30", 30},
                                           IntervalRow{"86400", 86400}, IntervalRow{"90.7", 90.7},
                                           IntervalRow{"1e2", 100}, IntervalRow{"29.9", 60},
                                           IntervalRow{"86400.5", 60}, IntervalRow{"10", 60}, IntervalRow{"-5", 60},
                                           IntervalRow{"inf", 60}, IntervalRow{"nan", 60},
                                           IntervalRow{"0x78", 60}, IntervalRow{"1e300", 60},
                                           // Damaged entries fall back to the default, never to "off".
                                           IntervalRow{"abc", 60}, IntervalRow{"", 60}, IntervalRow{"120s", 60},
                                           IntervalRow{"true", 60}, IntervalRow{"60, 120", 60},
                                           IntervalRow{"@Invalid()", 60}));

TEST(AppSettings, AlertPercentIsOneOfTheChoicesOrTheDefault)
{
    QTemporaryDir dir;
    // 4294967321 is 2^32 + 25: converted to int before the range check it could read as 25.
    const std::vector<std::pair<QByteArray, int>> rows{
        {"25", 25},  {"5", 5},     {"0", 0},      {"5.0", 5},        {"7", 10},           {"5.5", 10},
        {"0x19", 10}, {"inf", 10}, {"-inf", 10}, {"nan", 10}, {"1e300", 10}, {"4294967321", 10},
    };
    for (const auto& [stored, expected] : rows) {
        SCOPED_TRACE(stored.toStdString());
        // A file each: QSettings caches files by path, size and time.
        const QString path = dir.filePath(QString::fromLatin1(stored) + QStringLiteral(".conf"));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("[General]\nusageAlertPercent=" + stored + "\n");
        file.close();
        EXPECT_EQ(AppSettings::usageAlertPercent(QSettingsStore(path)), expected);
    }
}

TEST(AppSettings, WrittenValuesReadBack)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("tallyglass.conf"));
    {
        QSettingsStore store(path);
        AppSettings::setRefreshInterval(store, 90.5);
        AppSettings::setTimeDisplayMode(store, TimeDisplayMode::remaining);
    }
    QSettingsStore reopened(path);
    EXPECT_EQ(AppSettings::refreshInterval(reopened), 90.5);
    EXPECT_EQ(AppSettings::timeDisplayMode(reopened), TimeDisplayMode::remaining);
    AppSettings::setRefreshInterval(reopened, 0);
    EXPECT_EQ(AppSettings::refreshInterval(QSettingsStore(path)), 0) << "written through at once";
}

TEST(AppSettings, ChangesMadeToTheFileWhileRunningAreSeenByTheNextRead)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("tallyglass.conf"));
    const auto writeText = [&](const QByteArray& text) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    };
    writeText("[General]\nrefreshIntervalSeconds=300\ntimeDisplayMode=resetAt\n");
    QSettingsStore store(path);
    EXPECT_EQ(AppSettings::refreshInterval(store), 300);
    EXPECT_EQ(AppSettings::timeDisplayMode(store), TimeDisplayMode::resetAt);

    const QByteArray edited = "[General]\nrefreshIntervalSeconds=1200\ntimeDisplayMode=remaining\n";
    writeText(edited);
    EXPECT_EQ(AppSettings::refreshInterval(store), 1200);
    EXPECT_EQ(AppSettings::timeDisplayMode(store), TimeDisplayMode::remaining);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), edited) << "reading never rewrites the file";
}

// A FIFO, a folder or a link to a FIFO where the settings file belongs: QSettings would
// block in open() on the main thread. The store reads defaults and writes nothing instead.
TEST(AppSettings, SomethingOtherThanAFileInPlaceNeverBlocks)
{
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("fifo"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString folder = dir.filePath(QStringLiteral("folder.conf"));
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString link = dir.filePath(QStringLiteral("link.conf"));
    ASSERT_TRUE(QFile::link(fifo, link));
    for (const QString& path : {fifo, folder, link}) {
        SCOPED_TRACE(path.toStdString());
        std::future<double> read = std::async(std::launch::async, [&] {
            QSettingsStore store(path);
            AppSettings::setRefreshInterval(store, 300);
            return AppSettings::refreshInterval(store);
        });
        const bool finishedInTime = read.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
        if (!finishedInTime) // a reader stuck in open() on the FIFO: let it go
            ::close(::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK));
        EXPECT_EQ(read.get(), 60);
        EXPECT_TRUE(finishedInTime) << "blocked for 2 s";
    }
    EXPECT_TRUE(QFileInfo(folder).isDir());
    EXPECT_TRUE(QFileInfo(link).isSymLink());
}

// A relative XDG_CONFIG_HOME is ignored, as the base-directory rules say: the file goes
// under $HOME/.config, not under the working folder.
TEST(AppSettings, UserFileIgnoresARelativeConfigHome)
{
    QTemporaryDir home;
    const QByteArray savedHome = qgetenv("HOME");
    const QByteArray savedConfig = qgetenv("XDG_CONFIG_HOME");
    const QString savedCwd = QDir::currentPath();
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_CONFIG_HOME", "relcfg");
    QDir::setCurrent(home.path());
    {
        QSettingsStore store;
        AppSettings::setRefreshInterval(store, 300);
    }
    QDir::setCurrent(savedCwd);
    qputenv("HOME", savedHome);
    savedConfig.isNull() ? qunsetenv("XDG_CONFIG_HOME") : qputenv("XDG_CONFIG_HOME", savedConfig);
    EXPECT_TRUE(QFileInfo::exists(home.filePath(QStringLiteral(".config/brightfen/tallyglass.conf"))));
    EXPECT_FALSE(QFileInfo::exists(home.filePath(QStringLiteral("relcfg"))));
}

} // namespace
} // namespace tallyglass::test
