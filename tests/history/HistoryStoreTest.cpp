// The history store against real SQLite files in a temporary folder.

#include "history/HistoryStore.h"
#include "history/StateFolder.h"
#include "history/StoreFile.h"

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyglass {
namespace {

constexpr double t0 = 1'800'000'000;
using Result = HistoryStore::Result;

UsageSnapshot reading(double at, std::int64_t fiveUsed, std::int64_t weekUsed = 10)
{
    return UsageSnapshot{UsageWindow{fiveUsed, 300, t0 + 4 * 3600}, UsageWindow{weekUsed, 10080, std::nullopt}, at};
}

LimitBucket bucket(const char* id, std::int64_t fiveUsed)
{
    return LimitBucket{QString::fromLatin1(id), QStringLiteral("Model ") + QLatin1String(id),
                       UsageWindow{fiveUsed, 300, t0 + 3600}, std::nullopt};
}

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int modeOf(const QString& path)
{
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

class HistoryStoreTest : public testing::Test {
protected:
    QString path() const { return dir_.filePath(QStringLiteral("state/tallyglass/history.sqlite3")); }
    QString folder() const { return QFileInfo(path()).absolutePath(); }
    QTemporaryDir dir_;
};

TEST_F(HistoryStoreTest, StoresOnceAPerTenMinutesRepeatsAndPrunesAfter400Days)
{
    HistoryStore store(path());
    const UsageSnapshot old = reading(t0 - 401 * 86400.0, 5);
    const UsageSnapshot partial{std::nullopt, UsageWindow{50, std::nullopt, std::nullopt}, t0 + 700.5};
    EXPECT_EQ(store.record(old), Result::stored);
    EXPECT_EQ(store.record(reading(t0, 20)), Result::stored); // a day after the last pruning: prunes `old`
    EXPECT_EQ(store.record(reading(t0 + 60, 20)), Result::skipped);
    EXPECT_EQ(store.record(reading(t0 + 599, 20)), Result::skipped);
    EXPECT_EQ(store.record(reading(t0 + 600, 20)), Result::stored);
    EXPECT_EQ(store.record(reading(t0 + 660, 21)), Result::stored);
    // Every bucket counts in the repeat; ids are stored once, the codex bucket's own row once.
    const std::vector<LimitBucket> others{bucket("gpt_x", 5), bucket("mini", 1)};
    EXPECT_EQ(store.record(reading(t0 + 670, 21), others), Result::stored);
    EXPECT_EQ(store.record(reading(t0 + 680, 21), {others[0], others[1], bucket("gpt_x", 9), bucket("codex", 3)}),
              Result::skipped);
    EXPECT_EQ(store.record(reading(t0 + 690, 21), {bucket("gpt_x", 6), others[1]}), Result::stored);
    EXPECT_EQ(store.record(reading(t0 + 695, 21), {bucket("gpt_x", 6), others[1]}), Result::skipped);
    EXPECT_EQ(store.record(partial), Result::stored);

    const std::vector<UsageSnapshot> all = store.readings(-qInf());
    EXPECT_EQ(all, (std::vector<UsageSnapshot>{reading(t0, 20), reading(t0 + 600, 20), reading(t0 + 660, 21),
                                                reading(t0 + 670, 21), reading(t0 + 690, 21), partial}));
    EXPECT_EQ(store.readings(t0 + 670).size(), 3u);
    // Another connection (another process) sees the same rows, read-only too, with their buckets.
    EXPECT_EQ(HistoryStore(path()).readings(-qInf()), all);
    const std::optional<std::vector<StoredReading>> stored =
        HistoryStore(path(), HistoryStore::Access::readOnly).storedReadings(t0 + 660);
    EXPECT_EQ(stored, (std::vector<StoredReading>{{reading(t0 + 660, 21), {}},
                                                  {reading(t0 + 670, 21), others},
                                                  {reading(t0 + 690, 21), {bucket("gpt_x", 6), others[1]}},
                                                  {partial, {}}}));
}

TEST_F(HistoryStoreTest, TwoWritersAtOnceLoseNothingAndStoreASharedReadingOnce)
{
    constexpr int perWriter = 150;
    auto writer = [this](int parity, int* failed) {
        HistoryStore store(path());
        for (int i = 0; i < perWriter; ++i) {
            // Every fifth pair of readings differs but falls in the same millisecond.
            const double at = i % 5 == 0 ? t0 + i * 120 + parity * 0.0004 : t0 + (2 * i + parity) * 60;
            if (store.record(reading(at, (2 * i + parity) % 100)) != Result::stored)
                ++*failed;
            // Both write the same reading now and then; it is stored once.
            if (i % 50 == 0 && store.record(reading(t0 + 1e6 + i, 90 + i / 50)) == Result::failed)
                ++*failed;
        }
    };
    int failed[2] = {0, 0};
    std::unique_ptr<QThread> a(QThread::create(writer, 0, &failed[0]));
    std::unique_ptr<QThread> b(QThread::create(writer, 1, &failed[1]));
    a->start();
    b->start();
    ASSERT_TRUE(a->wait(60000) && b->wait(60000));
    EXPECT_EQ(failed[0] + failed[1], 0);
    const std::vector<UsageSnapshot> all = HistoryStore(path()).readings(-qInf());
    EXPECT_EQ(all.size(), 2u * perWriter + 3);
    EXPECT_TRUE(std::is_sorted(all.begin(), all.end(), [](auto& a, auto& b) { return a.receivedAt < b.receivedAt; }));
}

TEST_F(HistoryStoreTest, ADamagedFileIsMovedAsideAndANewOneStarted)
{
    ASSERT_TRUE(QDir().mkpath(QFileInfo(path()).absolutePath()));
    QFile damaged(path());
    ASSERT_TRUE(damaged.open(QIODevice::WriteOnly));
    const QByteArray garbage = QByteArray("not a database ").repeated(500);
    damaged.write(garbage);
    damaged.close();

    HistoryStore store(path());
    EXPECT_EQ(store.record(reading(t0, 1)), Result::stored);
    EXPECT_EQ(store.readings(-qInf()), std::vector<UsageSnapshot>{reading(t0, 1)});
    const QStringList aside = QDir(QFileInfo(path()).absolutePath())
                                  .entryList({QStringLiteral("history.sqlite3.damaged-*")}, QDir::Files);
    ASSERT_EQ(aside.size(), 1) << aside.join(' ').toStdString();
    EXPECT_EQ(contents(folder() + '/' + aside.first()), garbage) << "the damaged file is kept as it was";
    EXPECT_EQ(modeOf(folder() + '/' + aside.first()), 0600);
}

TEST_F(HistoryStoreTest, MovingAsideTakesAFreeNameAndNeverWritesThroughALink)
{
    // Names taken by dangling links into another folder: a copy would land there.
    QTemporaryDir elsewhere;
    ASSERT_TRUE(QDir().mkpath(folder()));
    const QString taken = path() + QStringLiteral(".damaged-X");
    for (const QString& link : {taken, taken + QStringLiteral("-2-wal")})
        ASSERT_TRUE(QFile::link(elsewhere.filePath(QStringLiteral("gone")), link));
    for (const QString& extra : {QString(), QStringLiteral("-wal")}) {
        QFile file(path() + extra);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write("rows" + extra.toUtf8()) > 0);
    }
    ASSERT_TRUE(storefile::moveAside(path(), QStringLiteral("X")));
    EXPECT_EQ(contents(taken + QStringLiteral("-3")), "rows");
    EXPECT_EQ(contents(taken + QStringLiteral("-3-wal")), "rows-wal");
    EXPECT_FALSE(QFileInfo::exists(path()) || QFileInfo::exists(path() + QStringLiteral("-wal")));
    EXPECT_TRUE(QDir(elsewhere.path()).isEmpty());
    EXPECT_TRUE(QFileInfo(taken).isSymLink());

    // A store that cannot be renamed (here: it is gone) stays where it is, with its log.
    QFile wal(path() + QStringLiteral("-wal"));
    ASSERT_TRUE(wal.open(QIODevice::WriteOnly));
    wal.close();
    EXPECT_FALSE(storefile::moveAside(path(), QStringLiteral("Y")));
    EXPECT_TRUE(QFileInfo::exists(path() + QStringLiteral("-wal")));
}

TEST_F(HistoryStoreTest, MigratesTheUnversionedLayoutKeepingEveryRowAndOnlyReadsALaterOne)
{
    ASSERT_TRUE(QDir().mkpath(folder()));
    ASSERT_TRUE(QFile::copy(QStringLiteral(HISTORY_DATA_DIR "/history-unversioned.sqlite3"), path()));
    const QByteArray unversioned = contents(path());
    const std::vector<UsageSnapshot> rows{
        {UsageWindow{20, 300, t0 + 4 * 3600}, UsageWindow{10, 10080, t0 + 5 * 86400}, t0},
        {UsageWindow{21, 300, t0 + 4 * 3600}, UsageWindow{10, 10080, std::nullopt}, t0 + 60.5},
        {std::nullopt, UsageWindow{11, std::nullopt, std::nullopt}, t0 + 120.25},
        {std::nullopt, std::nullopt, t0 + 180},
    };
    {
        HistoryStore reader(path(), HistoryStore::Access::readOnly);
        const std::optional<std::vector<StoredReading>> before = reader.storedReadings(-qInf());
        ASSERT_TRUE(before && before->size() == 4u);
        EXPECT_EQ(before->back(), (StoredReading{rows.back(), {}}));
        EXPECT_EQ(reader.record(reading(t0 + 900, 1)), Result::failed);
    }
    EXPECT_EQ(contents(path()), unversioned) << "a read-only store does not migrate";

    EXPECT_EQ(HistoryStore(path()).readings(-qInf()), rows);
    {
        HistoryStore store(path());
        EXPECT_EQ(store.record(UsageSnapshot{rows.back().fiveHour, rows.back().week, t0 + 180.0004},
                               {bucket("gpt_x", 5)}),
                  Result::stored)
            << "the same millisecond as the last migrated row";
    }
    // A later version (here made by hand) is read, never written, migrated or moved aside.
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("later"));
        db.setDatabaseName(path());
        ASSERT_TRUE(db.open());
        EXPECT_TRUE(QSqlQuery(db).exec(QStringLiteral("PRAGMA user_version = 2")));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("later"));
    const QByteArray later = contents(path());
    HistoryStore store(path());
    EXPECT_EQ(store.record(reading(t0 + 900, 1)), Result::failed);
    EXPECT_FALSE(store.prune(t0 + 1000 * 86400.0));
    const std::optional<std::vector<StoredReading>> all = store.storedReadings(-qInf());
    ASSERT_TRUE(all && all->size() == 5u);
    EXPECT_EQ(all->back().otherLimits, std::vector<LimitBucket>{bucket("gpt_x", 5)});
    EXPECT_EQ(contents(path()), later);
    EXPECT_EQ(QDir(folder()).entryList({QStringLiteral("*damaged*")}, QDir::AllEntries | QDir::System).size(), 0);
}

TEST_F(HistoryStoreTest, FilesAndFolderArePrivateWhateverTheUmask)
{
    const mode_t saved = ::umask(0);
    {
        HistoryStore store(path());
        EXPECT_EQ(store.record(reading(t0, 1)), Result::stored);
        EXPECT_EQ(modeOf(folder()), 0700);
        for (const char* extra : {"", "-wal", "-shm"})
            EXPECT_EQ(modeOf(path() + QLatin1String(extra)), 0600) << extra;
    }
    // Files made loose before are tightened when the store opens.
    ASSERT_EQ(::chmod(QFile::encodeName(folder()).constData(), 0755), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(path()).constData(), 0644), 0);
    ::umask(saved);
    EXPECT_EQ(HistoryStore(path()).readings(-qInf()).size(), 1u);
    EXPECT_EQ(modeOf(folder()), 0700);
    EXPECT_EQ(modeOf(path()), 0600);
}

TEST_F(HistoryStoreTest, WhatIsNotARegularFileIsRefusedWithoutBlockingAndReadOnlyChangesNothing)
{
    using Access = HistoryStore::Access;
    // Missing: nothing to read, and nothing made.
    EXPECT_EQ(HistoryStore(path(), Access::readOnly).storedReadings(-qInf()), std::vector<StoredReading>{});
    EXPECT_FALSE(QFileInfo::exists(dir_.filePath(QStringLiteral("state"))));
    // A FIFO would block SQLite's open() for good; a folder is no store either.
    ASSERT_TRUE(QDir().mkpath(folder()));
    ASSERT_EQ(::mkfifo(QFile::encodeName(path()).constData(), 0600), 0);
    for (int kind = 0; kind < 2; ++kind) {
        HistoryStore store(path());
        EXPECT_EQ(store.record(reading(t0, 1)), Result::failed);
        EXPECT_TRUE(store.readings(-qInf()).empty());
        EXPECT_EQ(HistoryStore(path(), Access::readOnly).storedReadings(-qInf()), std::nullopt);
        EXPECT_EQ(QDir(folder()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
                  QStringList{QStringLiteral("history.sqlite3")}) << "nothing moved aside";
        if (kind == 0) {
            ASSERT_TRUE(QFile::remove(path()) && QDir().mkdir(path()));
        }
    }
    // A folder that cannot exist (a file stands in the way) is no place for a store.
    QFile blocker(dir_.filePath(QStringLiteral("file")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    EXPECT_EQ(HistoryStore(blocker.fileName() + QStringLiteral("/h.sqlite3"), Access::readOnly).storedReadings(0),
              std::nullopt);
}

TEST(StateFolderTest, IgnoresARelativeXdgStateHomeAndFindsTheHomeWithoutHOME)
{
    const QByteArray savedState = qgetenv("XDG_STATE_HOME"), savedHome = qgetenv("HOME");
    const bool hadState = qEnvironmentVariableIsSet("XDG_STATE_HOME"), hadHome = qEnvironmentVariableIsSet("HOME");
    const passwd* entry = ::getpwuid(::getuid());
    ASSERT_TRUE(entry);
    const QString fromDatabase = QDir::cleanPath(QFile::decodeName(entry->pw_dir) + "/.local/state/tallyglass");

    qputenv("XDG_STATE_HOME", "/abs/state");
    EXPECT_EQ(stateFolder(), QStringLiteral("/abs/state/tallyglass"));
    qputenv("XDG_STATE_HOME", "rel/state");
    qputenv("HOME", "/home/someone");
    EXPECT_EQ(stateFolder(), QStringLiteral("/home/someone/.local/state/tallyglass"));
    qputenv("HOME", "");
    EXPECT_EQ(stateFolder(), fromDatabase);
    qunsetenv("HOME");
    EXPECT_EQ(stateFolder(), fromDatabase);

    hadState ? qputenv("XDG_STATE_HOME", savedState) : qunsetenv("XDG_STATE_HOME");
    hadHome ? qputenv("HOME", savedHome) : qunsetenv("HOME");
}

TEST_F(HistoryStoreTest, AnUnwritableFolderLosesTheRowsAndNothingElse)
{
    // A file where the folder should be refuses us even as root, unlike a mode of 0555.
    QFile blocker(dir_.filePath(QStringLiteral("state")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    HistoryStore store(path());
    EXPECT_EQ(store.record(reading(t0, 1)), Result::failed);
    EXPECT_TRUE(store.readings(-qInf()).empty());
    EXPECT_FALSE(store.prune(t0));
}

TEST_F(HistoryStoreTest, AFullDiskLosesTheNewRowButKeepsTheOldOnes)
{
    HistoryStore store(path());
    ASSERT_EQ(store.record(reading(t0, 1)), Result::stored);
    // The file size limit makes every write past it fail as a full disk would (EFBIG).
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = QFileInfo(path() + QStringLiteral("-wal")).size();
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
    int failed = 0;
    for (int i = 1; i <= 20; ++i)
        failed += store.record(reading(t0 + i * 60, 1 + i)) == Result::failed;
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    EXPECT_EQ(failed, 20);
    EXPECT_EQ(HistoryStore(path()).readings(-qInf()), std::vector<UsageSnapshot>{reading(t0, 1)});
    EXPECT_EQ(store.record(reading(t0 + 3600, 50)), Result::stored) << "room again: writing goes on";
}

} // namespace
} // namespace tallyglass
