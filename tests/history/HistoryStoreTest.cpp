// The history store against real SQLite files in a temporary folder.

#include "history/HistoryStore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>

namespace tallyglass {
namespace {

constexpr double t0 = 1'800'000'000;
using Result = HistoryStore::Result;

UsageSnapshot reading(double at, std::int64_t fiveUsed, std::int64_t weekUsed = 10)
{
    return UsageSnapshot{UsageWindow{fiveUsed, 300, t0 + 4 * 3600}, UsageWindow{weekUsed, 10080, std::nullopt}, at};
}

class HistoryStoreTest : public testing::Test {
protected:
    QString path() const { return dir_.filePath(QStringLiteral("state/tallyglass/history.sqlite3")); }
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
    EXPECT_EQ(store.record(partial), Result::stored);

    const std::vector<UsageSnapshot> all = store.readings(-qInf());
    EXPECT_EQ(all, (std::vector<UsageSnapshot>{reading(t0, 20), reading(t0 + 600, 20), reading(t0 + 660, 21),
                                                partial}));
    EXPECT_EQ(store.readings(t0 + 660).size(), 2u);
    // Another connection (another process) sees the same rows.
    EXPECT_EQ(HistoryStore(path()).readings(-qInf()), all);
}

TEST_F(HistoryStoreTest, TwoWritersAtOnceLoseNothingAndStoreASharedReadingOnce)
{
    constexpr int perWriter = 150;
    auto writer = [this](int parity, int* failed) {
        HistoryStore store(path());
        for (int i = 0; i < perWriter; ++i) {
            if (store.record(reading(t0 + (2 * i + parity) * 60, (2 * i + parity) % 100)) == Result::failed)
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
    EXPECT_EQ(HistoryStore(path()).readings(-qInf()).size(), 2u * perWriter + 3);
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
    QFile moved(QFileInfo(path()).absolutePath() + '/' + aside.first());
    ASSERT_TRUE(moved.open(QIODevice::ReadOnly));
    EXPECT_EQ(moved.readAll(), garbage) << "the damaged file is kept as it was";
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
